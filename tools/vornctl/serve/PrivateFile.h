#pragma once

#include <filesystem>
#include <string>

// Files only their owner may read (keys), replaced in one step.
namespace Vornctl::Serve {

// Creates `folder` and its parents when missing; a folder it creates is the
// owner's alone. Throws std::runtime_error naming the folder.
void makePrivateFolder(const std::filesystem::path& folder);

// Writes `contents` to a new file beside `file`, readable and writable by its
// owner alone, and renames it over `file`: a reader sees the old file or the
// new one, never a part. Throws std::runtime_error naming the file.
void writePrivateFile(const std::filesystem::path& file, const std::string& contents);

} // namespace Vornctl::Serve
