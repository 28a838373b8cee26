// SPDX-License-Identifier: MIT
// The files of page/ as the build embeds them (embed_page.cmake writes
// their definitions): each its bytes, not NUL-terminated, and its size.
#ifndef VEHCAN_REPORT_PAGE_FILES_H
#define VEHCAN_REPORT_PAGE_FILES_H

#include <cstddef>

namespace vehcan::report {

extern const char kPageTemplate[];
extern const std::size_t kPageTemplateSize;
extern const char kPageScript[];
extern const std::size_t kPageScriptSize;
extern const char kPageStyle[];
extern const std::size_t kPageStyleSize;

} // namespace vehcan::report

#endif
