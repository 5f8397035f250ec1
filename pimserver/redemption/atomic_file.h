// Whole-file writes that never leave a partial file behind.
#pragma once

#include <string>
#include <string_view>

namespace pim::files {

/// Writes data to a new file beside `path`, flushes it to disk and renames it
/// over `path`. Returns 0, or the errno of the step that failed; on failure
/// `path` is untouched and the temporary file is gone.
int writeAtomically(const std::string& path, std::string_view data);

}  // namespace pim::files
