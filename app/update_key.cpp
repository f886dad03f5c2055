#include "app/update_key.h"

#include "app/vexo_app.h"
#include "platform/system.h"

bool OpenUpdateKey(platform::Registry& registry, std::uint64_t now, bool& created)
{
    created = false;
    if (registry.KeyExists(UPDATE_KEY))
        return true;
    created = true;
    const auto stamp = platform::FileTimeToBytes(now);
    return registry.CreateKey(UPDATE_KEY) && registry.SetBinary(UPDATE_KEY, "Data", stamp) &&
           registry.SetBinary(UPDATE_KEY, "Updated", stamp);
}

bool IsUpdateDueAt(platform::Registry& registry, std::uint64_t now)
{
    bool created = false;
    if (!OpenUpdateKey(registry, now, created) || created)
        return false;
    std::uint64_t lastOffer = 0;
    auto data = registry.GetBinary(UPDATE_KEY, "Data");
    // An unreadable time is treated as long past, so the next offer writes a good one.
    if (!data || !platform::FileTimeFromBytes(*data, lastOffer))
        return true;
    return now < lastOffer || now - lastOffer > UPDATE_INTERVAL;
}
