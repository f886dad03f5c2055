#include <gtest/gtest.h>

#include "net/messages.h"
#include "net/worker_slots.h"

using namespace platform;

namespace {

StartedThread StartIdleWorker()
{
    return StartThread([] {
        Message msg;
        while (GetMessage(msg)) {
        }
        return 0;
    });
}

}  // namespace

TEST(WorkerSlots, TenLiveWorkersFillTheTableAndAnEndedOneFreesItsSlot)
{
    CWorkerSlotTable slots;
    std::vector<StartedThread> workers;
    for (int i = 0; i < CWorkerSlotTable::SLOT_COUNT; ++i) {
        int slot = slots.FindFreeWorkerSlot();
        ASSERT_EQ(slot, i);
        workers.push_back(StartIdleWorker());
        slots.Assign(slot, workers.back());
    }
    EXPECT_EQ(slots.FindFreeWorkerSlot(), -1);

    // The ended worker keeps its slot until a probe's ping fails; then it is reused at once.
    PostThreadMessage(workers[6].id, WM_QUIT);
    workers[6].handle.Wait(INFINITE);
    EXPECT_EQ(slots[6].nThreadId, workers[6].id);
    EXPECT_EQ(slots.FindFreeWorkerSlot(), 6);
    EXPECT_FALSE(slots[6].hThread);

    for (auto& worker : workers) {
        PostThreadMessage(worker.id, WM_QUIT);
        worker.handle.Wait(INFINITE);
    }
    EXPECT_EQ(slots.FindFreeWorkerSlot(), 0);
}
