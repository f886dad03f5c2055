#pragma once
// The table that bounds the number of transfer workers to ten. Used on the
// user-interface thread only.

#include <array>

#include "platform/thread.h"

class CWorkerSlotTable {
public:
    static constexpr int SLOT_COUNT = 10;

    struct Slot {
        platform::ThreadHandle hThread;
        platform::ThreadId nThreadId = 0;
    };

    // Index of a free slot, or -1 when all ten workers are alive. A slot whose worker has
    // ended is found by a failed WM_WORKER_PING, cleared and handed out.
    int FindFreeWorkerSlot();
    void Assign(int index, const platform::StartedThread& worker);
    const Slot& operator[](int index) const { return m_slots[index]; }

private:
    std::array<Slot, SLOT_COUNT> m_slots{};
};
