// The identifiers a Win32 program and its test drivers find the window's
// parts by: the window class, the controls' ids, the icon resource.
#pragma once

#include <cstddef>
#include <string_view>

#include "MainForm.h"

namespace win32front {

// The window's icon in the program's resources (generated from kIcon).
inline constexpr int kIconResourceId = 1;

// A control's id (GetDlgItem): its place in the form description plus 100;
// 0 for a name the form does not have.
constexpr int ControlId(std::string_view name) {
  for (std::size_t i = 0; i < resources::kMainFormControls.size(); ++i) {
    if (resources::kMainFormControls[i].name == name) return 100 + static_cast<int>(i);
  }
  return 0;
}

}  // namespace win32front
