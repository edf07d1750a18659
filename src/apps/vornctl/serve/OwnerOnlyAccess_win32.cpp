#include "OwnerOnlyAccess.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace Vornctl::Serve {
namespace {

struct HandleClose {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};

[[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string("cannot ") + what + " (error " +
                             std::to_string(GetLastError()) + ")");
}

} // namespace

OwnerOnlyAccess::OwnerOnlyAccess(Kind kind) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        fail("read the user's identity");
    const std::unique_ptr<void, HandleClose> tokenHolder(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.resize(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, user_.data(), size, &size))
        fail("read the user's identity");
    PSID user = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;

    const DWORD aclSize = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(user);
    acl_.resize(aclSize);
    PACL acl = reinterpret_cast<PACL>(acl_.data());
    const DWORD inherit = kind == Kind::Folder ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0;
    if (!InitializeAcl(acl, aclSize, ACL_REVISION) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, GENERIC_ALL, user) ||
        !InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(&descriptor_, user, FALSE) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        fail("describe an access list for the user alone");
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
}

} // namespace Vornctl::Serve
