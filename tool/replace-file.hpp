// Replacing a file whole, so that a process that opens it at any moment reads either the old
// contents or the new ones, never part of either and never no file.
#pragma once

#include <string>
#include <string_view>

#include <sys/types.h>

namespace kzr415::reader {

// Writes `contents` to a new file beside `path` (".NAME.XXXXXX" in the same folder, so that
// collectors that read "*.prom" files pass it by), with mode 0666 less `umask`, and renames
// it over `path`. Returns 0, or the errno of the step that failed; the new file is then
// removed and `path` left as it was. A link at `path` is replaced, not followed.
int replace_file(const std::string &path, std::string_view contents, mode_t umask);

} // namespace kzr415::reader
