// Names of the destination writer's temporary files. A file is written under such a name in its
// destination directory and renamed onto its final name once complete, so that an interrupted
// write never leaves a partial file, or loses the previous copy, under the final name.
//
// The form is ".dvcp." + 12 lower-case hexadecimal digits + ".tmp" (22 bytes): short enough for
// any file system, recognisable to a person, and specific enough that a user's own file is not
// taken for one. Listings skip such names as the tool's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr size_t RDIR_TEMP_NAME_LEN = 22;

// True when `name` has the temporary form.
bool rdir_temp_name_is(std::string_view name);

// Writes a new temporary name (NUL-terminated, RDIR_TEMP_NAME_LEN + 1 bytes) into `out`. The
// digits carry the process id (so that a later run can tell whether the writer still lives) and
// a per-process counter.
void rdir_temp_name_make(char out[RDIR_TEMP_NAME_LEN + 1]);

// The process id carried by a temporary name, or 0 when `name` is not one.
uint32_t rdir_temp_name_pid(std::string_view name);
