#include "JournalFile.h"

#include <windows.h>

#include <algorithm>

namespace Journal {
namespace {

std::string systemReason(DWORD error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string reason = length > 0 && text ? std::string(text, length) : std::string();
    if (text)
        LocalFree(text);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                               reason.back() == ' ' || reason.back() == '.'))
        reason.pop_back();
    return reason.empty() ? "system error " + std::to_string(error) : reason;
}

HANDLE fileHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// Holds a LockFileEx() lock of the whole file (every offset) while it exists.
class FileLock {
public:
    FileLock(HANDLE file, DWORD flags) : file_(file) {
        if (!LockFileEx(file_, flags, 0, MAXDWORD, MAXDWORD, &where_))
            error_ = GetLastError();
    }
    ~FileLock() {
        if (error_ == 0)
            UnlockFileEx(file_, 0, MAXDWORD, MAXDWORD, &where_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    // 0 when the lock is held, else the system error.
    DWORD error() const { return error_; }

private:
    HANDLE file_;
    OVERLAPPED where_{}; // offset 0
    DWORD error_ = 0;
};

OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return where;
}

// The file's size and whether it ends a line (an empty file does).
DWORD readTail(HANDLE file, std::uint64_t& size, bool& endsLine) {
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(file, &length))
        return GetLastError();
    size = static_cast<std::uint64_t>(length.QuadPart);
    endsLine = true;
    if (size == 0)
        return 0;
    char last = 0;
    DWORD got = 0;
    OVERLAPPED where = at(size - 1);
    if (!ReadFile(file, &last, 1, &got, &where))
        return GetLastError();
    endsLine = got == 1 && last == '\n';
    return 0;
}

// Writes all of `data` at `offset`; 0 or the system error.
DWORD writeAll(HANDLE file, std::uint64_t offset, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        DWORD written = 0;
        OVERLAPPED where = at(offset + done);
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1 << 30));
        if (!WriteFile(file, data.data() + done, chunk, &written, &where))
            return GetLastError();
        if (written == 0)
            return ERROR_WRITE_FAULT;
        done += written;
    }
    return 0;
}

} // namespace

void JournalFile::open() {
    // Others may read, write and rename the file while it is open here; the
    // lock keeps their lines apart.
    const HANDLE file = CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        fail("open", systemReason(GetLastError()));
    created_ = GetLastError() != ERROR_ALREADY_EXISTS;
    handle_ = reinterpret_cast<std::intptr_t>(file);
}

JournalFile::~JournalFile() {
    if (handle_ != -1)
        CloseHandle(fileHandle(handle_));
}

namespace {

// Whether `path` still names the open file: false once it was moved away or
// deleted (by hand, by a log rotation) and another file, or none, stands there.
bool namesOpenFile(HANDLE file, const std::filesystem::path& path) {
    // Deleted while open (without POSIX semantics): the name goes once the last handle closes.
    FILE_STANDARD_INFO standard{};
    if (GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) &&
        standard.DeletePending)
        return false;
    const HANDLE named =
        CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION open{}, there{};
    const bool same =
        GetFileInformationByHandle(file, &open) && GetFileInformationByHandle(named, &there) &&
        open.dwVolumeSerialNumber == there.dwVolumeSerialNumber &&
        open.nFileIndexHigh == there.nFileIndexHigh && open.nFileIndexLow == there.nFileIndexLow;
    CloseHandle(named);
    return same;
}

// A file that keeps being replaced faster than a line is written.
constexpr int maximumReopens = 8;

} // namespace

void JournalFile::appendLine(std::string_view line, const LineMaker* maker) {
    // The path is what every program locks and every reader reads: a file moved
    // away or deleted since it was opened is left, and the path opened again.
    for (int reopens = 0;; ++reopens) {
        if (handle_ == -1)
            open();
        const HANDLE file = fileHandle(handle_);
        {
            const FileLock lock(file, LOCKFILE_EXCLUSIVE_LOCK);
            if (lock.error() != 0)
                fail("lock", systemReason(lock.error()));
            if (namesOpenFile(file, path_) || reopens == maximumReopens) {
                appendLocked(line, maker);
                return;
            }
        }
        CloseHandle(file);
        handle_ = -1;
    }
}

void JournalFile::appendLocked(std::string_view line, const LineMaker* maker) {
    const HANDLE file = fileHandle(handle_);
    std::uint64_t size = 0;
    bool endsLine = true;
    if (const DWORD error = readTail(file, size, endsLine))
        fail("read", systemReason(error));
    const std::string made = maker ? (*maker)(tailLocked(size)) : "";
    const std::string data = lineToAppend(maker ? std::string_view(made) : line, endsLine);
    DWORD error = writeAll(file, size, data);
    if (error == 0 && !FlushFileBuffers(file))
        error = GetLastError();
    if (error != 0) {
        // Take back a part-written line, so that no torn line is left behind.
        LARGE_INTEGER end{};
        end.QuadPart = static_cast<LONGLONG>(size);
        if (SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file))
            FlushFileBuffers(file);
        fail("write", systemReason(error));
    }
    created_ = false; // FlushFileBuffers has put the new file's entry on the disk too
}

std::string JournalFile::readAt(std::uint64_t offset, std::size_t length) const {
    std::string text(length, '\0');
    std::size_t done = 0;
    while (done < length) {
        DWORD got = 0;
        OVERLAPPED where = at(offset + done);
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(length - done, 1 << 30));
        if (!ReadFile(fileHandle(handle_), text.data() + done, chunk, &got, &where)) {
            if (GetLastError() == ERROR_HANDLE_EOF)
                break;
            fail("read", systemReason(GetLastError()));
        }
        if (got == 0)
            break;
        done += got;
    }
    text.resize(done);
    return text;
}

std::string JournalFile::read(const std::filesystem::path& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return {};
        throw JournalError(journalErrorText(path, "open", systemReason(error)));
    }
    std::string text;
    DWORD error = 0;
    {
        const FileLock lock(file, 0); // shared
        error = lock.error();
        char buffer[65536];
        while (error == 0) {
            DWORD got = 0;
            OVERLAPPED where = at(text.size());
            if (!ReadFile(file, buffer, sizeof buffer, &got, &where)) {
                if (GetLastError() != ERROR_HANDLE_EOF)
                    error = GetLastError();
                break;
            }
            if (got == 0)
                break;
            text.append(buffer, got);
        }
    }
    CloseHandle(file);
    if (error != 0)
        throw JournalError(journalErrorText(path, "read", systemReason(error)));
    return text;
}

} // namespace Journal
