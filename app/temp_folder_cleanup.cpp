#include "app/temp_folder_cleanup.h"

#include <filesystem>

void RemoveEmptySubfolders(const std::string& folder)
{
    namespace fs = std::filesystem;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->symlink_status(error).type() != fs::file_type::directory)
            continue;
        const fs::path sub = it->path();
        std::error_code ignored;
        if (!fs::remove(sub, ignored)) {
            RemoveEmptySubfolders(sub.string());
            fs::remove(sub, ignored);
        }
    }
}
