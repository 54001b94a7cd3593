// The file that keeps the virtual printer's NV images. See nv_file.h.
#include "vprinter/nv_file.h"

#include <cstdio>
#include <fstream>
#include <vector>

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
    const std::string temporary = path + ".part";
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(blob.data()),
              static_cast<std::streamsize>(blob.size()));
    out.close();
    if (!out || std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = path + ": NV images not saved";
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace thermpos::vprinter
