#include "net/worker_slots.h"

#include "net/messages.h"

int CWorkerSlotTable::FindFreeWorkerSlot()
{
    for (int i = 0; i < SLOT_COUNT; ++i) {
        Slot& slot = m_slots[i];
        if (!slot.hThread)
            return i;
        if (!platform::PostThreadMessage(slot.nThreadId, WM_WORKER_PING)) {
            slot = Slot();
            return i;
        }
    }
    return -1;
}

void CWorkerSlotTable::Assign(int index, const platform::StartedThread& worker)
{
    if (index >= 0 && index < SLOT_COUNT) {
        m_slots[index].hThread = worker.handle;
        m_slots[index].nThreadId = worker.id;
    }
}
