#pragma once

// Windows only. Windows has no mode bits: what 0700 and 0600 say on POSIX is said by an access
// list. This one has a single entry, the user running the program, with full access, and is
// protected, so that nothing is inherited from the folder above (which may be shared: a
// journal placed on C:\ or on a network drive). A folder's entry is inherited by what is
// created inside it.

#include <windows.h>

#include <vector>

namespace Vornctl::Serve {

class OwnerOnlyAccess {
public:
    enum class Kind { Folder, File };

    // Throws std::runtime_error when the user's identity cannot be read.
    explicit OwnerOnlyAccess(Kind kind);
    OwnerOnlyAccess(const OwnerOnlyAccess&) = delete;
    OwnerOnlyAccess& operator=(const OwnerOnlyAccess&) = delete;

    // For CreateDirectoryW and CreateFileW; valid while this object lives.
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    std::vector<unsigned char> user_; // TOKEN_USER: holds the SID the list names
    std::vector<unsigned char> acl_;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
};

} // namespace Vornctl::Serve
