// The file that keeps the virtual printer's NV images. See nv_file.h.
#include "vprinter/nv_file.h"

#include <cstdio>
#include <fstream>
#include <vector>

#include "platform/folder.h"

namespace thermpos::vprinter {

namespace {

constexpr std::size_t kMaxNvFileBytes = 16u << 20;

}  // namespace

bool LoadNvFile(const std::string& path, PrinterModel& model, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return true;
    std::vector<std::uint8_t> blob;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        blob.insert(blob.end(), buffer, buffer + in.gcount());
        if (blob.size() > kMaxNvFileBytes) {
            *error = path + ": too large for NV images";
            return false;
        }
    }
    if (!model.LoadNvImages(blob)) {
        *error = path + ": not an NV image file";
        return false;
    }
    return true;
}

bool SaveNvFile(const std::string& path, const PrinterModel& model, std::string* error) {
    const std::vector<std::uint8_t> blob = model.SaveNvImages();
    platform::Folder folder;
    std::string why;
    if (!folder.Open(platform::FolderOf(path), platform::FolderRule::Any, false, &why) ||
        !platform::ReplaceFile(
            folder, platform::NameOf(path), 0644,
            [&](std::FILE* file, std::string* message) {
                if (std::fwrite(blob.data(), 1, blob.size(), file) == blob.size())
                    return true;
                *message = "write failed";
                return false;
            },
            &why)) {
        *error = path + ": NV images not saved (" + why + ")";
        return false;
    }
    return true;
}

}  // namespace thermpos::vprinter
