#pragma once
#include <string>

// Removes every empty sub-folder below folder, deepest first. Files are never deleted,
// so a sub-folder that holds a file stays, with its parents. Links are not followed.
void RemoveEmptySubfolders(const std::string& folder);
