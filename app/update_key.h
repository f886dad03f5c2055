#pragma once
// The registry key "Software\Korvalo\Last Update": when the update was last offered
// ("Data") and last run ("Updated"), both as 8-byte times in 100-ns units since 1601.

#include <cstdint>

#include "platform/registry.h"

// Ten days in 100-ns units.
inline constexpr std::uint64_t UPDATE_INTERVAL = 8640000000000ULL;

// Opens the key; when it is missing, creates it with "Data" and "Updated" both set to
// now and sets created.
bool OpenUpdateKey(platform::Registry& registry, std::uint64_t now, bool& created);

// True when the key existed and "Data" lies more than ten days before now (or after now:
// a clock set back). A key that had to be created is not due.
bool IsUpdateDueAt(platform::Registry& registry, std::uint64_t now);
