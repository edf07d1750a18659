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
// new one, never a part. On POSIX, root writing into a folder of another user
// gives the file to that user. Throws std::runtime_error naming the file.
void writePrivateFile(const std::filesystem::path& file, const std::string& contents);

// As writePrivateFile, but never replaces: false, with nothing changed, when
// `file` exists already (two creating it at once agree on one). Throws
// std::runtime_error naming the file.
bool createPrivateFile(const std::filesystem::path& file, const std::string& contents);

// Why others than its owner may read `file` ("mode 0644"); empty when they
// may not, or when it cannot be read (reading it then says why).
std::string readableByOthers(const std::filesystem::path& file);

// The platform's part (PrivateFile_posix.cpp, _win32.cpp).
namespace PrivateFilePlatform {
// Creates `folder`, whose parent exists, for its owner alone; one that exists
// is left as it is. Throws std::runtime_error naming the folder.
void makeOwnerOnlyFolder(const std::filesystem::path& folder);
} // namespace PrivateFilePlatform

} // namespace Vornctl::Serve
