// The file that keeps the virtual printer's NV images (FS q) across runs.
//
// Thread safety: the functions touch only their arguments; the caller serialises access
// to the model.
#pragma once

#include <string>

#include "vprinter/model.h"

namespace thermpos::vprinter {

// Loads the images saved at path into the model; a missing file loads nothing. False with
// *error for a file that is too large or not an NV image file.
[[nodiscard]] bool LoadNvFile(const std::string& path, PrinterModel& model, std::string* error);
// Saves the model's images at path, replacing the file whole (never half written). False
// with *error.
[[nodiscard]] bool SaveNvFile(const std::string& path, const PrinterModel& model,
                              std::string* error);

}  // namespace thermpos::vprinter
