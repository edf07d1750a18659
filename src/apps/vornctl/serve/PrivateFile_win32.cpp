#include "PrivateFile.h"

#include "OwnerOnlyAccess.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <stdexcept>

// The folder and each file are created with an access list for the user alone
// (OwnerOnlyAccess.h): a key stays the user's even in a folder someone else made readable.
namespace Vornctl::Serve {
namespace {

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path, DWORD error) {
    throw std::runtime_error("cannot " + what + " " + path.string() + " (error " +
                             std::to_string(error) + ")");
}

struct HandleClose {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};

} // namespace

void PrivateFilePlatform::makeOwnerOnlyFolder(const std::filesystem::path& folder) {
    OwnerOnlyAccess access(OwnerOnlyAccess::Kind::Folder);
    if (!CreateDirectoryW(folder.c_str(), access.attributes()) &&
        GetLastError() != ERROR_ALREADY_EXISTS)
        fail("create the folder", folder, GetLastError());
}

namespace {

// `contents` in a new file beside `file`, for its user alone, flushed; its name
// is this write's own, so that writers of one file never meet.
std::filesystem::path writeTemporary(const std::filesystem::path& file,
                                     const std::string& contents) {
    static std::atomic<unsigned> made{0};
    const std::filesystem::path temporary = file.wstring() + L".new-" +
                                            std::to_wstring(GetCurrentProcessId()) + L"-" +
                                            std::to_wstring(made++);
    OwnerOnlyAccess access(OwnerOnlyAccess::Kind::File);
    const HANDLE created = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, access.attributes(),
                                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE)
        fail("create", temporary, GetLastError());
    std::unique_ptr<void, HandleClose> out(created);
    auto abandon = [&](const char* what) {
        const DWORD error = GetLastError();
        out.reset();
        DeleteFileW(temporary.c_str());
        fail(what, temporary, error);
    };
    std::size_t written = 0;
    while (written < contents.size()) {
        const auto chunk =
            static_cast<DWORD>(std::min<std::size_t>(contents.size() - written, 1u << 20));
        DWORD done = 0;
        if (!WriteFile(out.get(), contents.data() + written, chunk, &done, nullptr) || done == 0)
            abandon("write");
        written += done;
    }
    if (!FlushFileBuffers(out.get()))
        abandon("write");
    return temporary;
}

// Moves the temporary into place (a rename on one volume keeps its access
// list); false when `file` exists and `replace` is not asked for.
bool place(const std::filesystem::path& temporary, const std::filesystem::path& file,
           bool replace) {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (MoveFileExW(temporary.c_str(), file.c_str(), flags))
        return true;
    const DWORD error = GetLastError();
    DeleteFileW(temporary.c_str());
    if (!replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS))
        return false;
    fail(replace ? "replace" : "create", file, error);
}

} // namespace

void writePrivateFile(const std::filesystem::path& file, const std::string& contents) {
    place(writeTemporary(file, contents), file, true);
}

bool createPrivateFile(const std::filesystem::path& file, const std::string& contents) {
    return place(writeTemporary(file, contents), file, false);
}

// The access lists serve writes grant the user alone; one made by hand is not
// judged here.
std::string readableByOthers(const std::filesystem::path&) {
    return {};
}

} // namespace Vornctl::Serve
