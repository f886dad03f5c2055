#pragma once
// Stands in for the transfers list: records the events the frame relays and lets every
// job start (no row is ever paused).

#include <string>
#include <utility>
#include <vector>

#include "net/messages.h"
#include "platform/window_table.h"
#include "transfers/transfer_record.h"

namespace testsupport {

class CRecordingTransfersList : public platform::WindowTarget {
public:
    platform::LRESULT WindowProc(platform::Message& msg) override
    {
        if (msg.message == WM_TRANSFERS_UPDATE) {
            auto* record = reinterpret_cast<CTransferRecord*>(msg.wParam);
            events.push_back({record->csFileName, static_cast<int>(msg.lParam)});
            return 1;
        }
        return msg.message == WM_TRANSFERS_GET_STATE ? -1 : 0;
    }
    bool Has(const std::string& name, int code) const
    {
        for (const auto& event : events)
            if (event.first == name && event.second == code)
                return true;
        return false;
    }
    std::vector<std::pair<std::string, int>> events;
};

}  // namespace testsupport
