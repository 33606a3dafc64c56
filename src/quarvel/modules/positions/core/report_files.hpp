#pragma once
// File-level rules of the report writers: writing a file whole so a reader never sees half of it.
// No Python here.
#include <string>
#include <string_view>

namespace quarvel::core::ledger {

/// Writes `head` then `body` to `path` whole: a temporary file in the same folder, flushed
/// to disk, then renamed over `path`. Returns 0, or the errno of the failing step; on
/// failure the temporary file is removed and `path` is left as it was.
int write_file_atomically(const std::string &path, std::string_view head, std::string_view body);

} // namespace quarvel::core::ledger
