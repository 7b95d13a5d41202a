#include "FileCredentialVault.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol/Wipe.hpp"
#include "protocol/Wire.hpp"

namespace murel {

namespace {

constexpr std::string_view kTemporaryTag = ".tmp-";

[[noreturn]] void systemFailure(const char* step, int error) {
    throw ProtocolError(std::string(step) + " failed (" +
                        std::error_code(error, std::system_category()).message() + ")");
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

std::atomic<unsigned> temporaryCounter{0};

}  // namespace

FileCredentialVault::FileCredentialVault(std::filesystem::path directory)
    : directory_(std::move(directory)) {}

std::filesystem::path FileCredentialVault::defaultDirectory() {
    const char* data = std::getenv("XDG_DATA_HOME");
    std::filesystem::path base;
    if (data != nullptr && data[0] == '/') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home != nullptr ? home : "") / ".local" / "share";
    }
    return base / "murel" / "credentials";
}

std::string FileCredentialVault::fileNameFor(std::string_view target) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string name;
    name.reserve(target.size() * 3);
    for (const char c : target) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-' ||
            u == '_') {
            name.push_back(c);
        } else {
            name.push_back('%');
            name.push_back(kHex[u >> 4]);
            name.push_back(kHex[u & 0x0F]);
        }
    }
    return name;
}

void FileCredentialVault::ensureDirectory() {
    // Each missing level is created private; the last one is kept private even if it existed.
    std::filesystem::path partial;
    for (const auto& part : directory_) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            systemFailure("Save credential", errno);
        }
    }
    if (::chmod(directory_.c_str(), 0700) != 0) systemFailure("Save credential", errno);
}

void FileCredentialVault::syncDirectory() {
    Descriptor dir(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
}

void FileCredentialVault::removeAbandonedTemporaries(const std::string& name) noexcept {
    // A writer that died between creating and renaming its temporary file left part of a secret
    // behind; such files name their writer's process, so only dead writers' files are removed.
    const std::string prefix = "." + name + std::string(kTemporaryTag);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(directory_, ec)) {
        const std::string file = entry.path().filename().string();
        if (file.rfind(prefix, 0) != 0) continue;
        const std::string rest = file.substr(prefix.size());
        const long pid = std::strtol(rest.c_str(), nullptr, 10);
        if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) {
            ::unlink(entry.path().c_str());
        }
    }
}

void FileCredentialVault::writeTemporary(int fd, std::string_view blob) {
    std::size_t written = 0;
    while (written < blob.size()) {
        const ssize_t n = ::write(fd, blob.data() + written, blob.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            systemFailure("Save credential", errno);
        }
        written += static_cast<std::size_t>(n);
    }
}

void FileCredentialVault::write(std::string_view target, std::string_view /*userName*/,
                                std::string_view blob) {
    ensureDirectory();
    const std::string name = fileNameFor(target);
    removeAbandonedTemporaries(name);
    const std::filesystem::path finalPath = directory_ / name;
    const std::filesystem::path temporary =
        directory_ / ("." + name + std::string(kTemporaryTag) + std::to_string(::getpid()) + "-" +
                      std::to_string(temporaryCounter.fetch_add(1)));

    Descriptor file(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.get() < 0) systemFailure("Save credential", errno);
    try {
        if (::fchmod(file.get(), 0600) != 0) systemFailure("Save credential", errno);
        writeTemporary(file.get(), blob);
        if (::fsync(file.get()) != 0) systemFailure("Save credential", errno);
        if (::close(file.release()) != 0) systemFailure("Save credential", errno);
        if (::rename(temporary.c_str(), finalPath.c_str()) != 0) {
            systemFailure("Save credential", errno);
        }
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    syncDirectory();
}

std::optional<std::string> FileCredentialVault::read(std::string_view target, std::size_t maxBytes) {
    const std::filesystem::path path = directory_ / fileNameFor(target);
    Descriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (file.get() < 0) {
        if (errno == ENOENT) return std::nullopt;
        systemFailure("Read credential", errno);
    }
    // One byte past the limit is enough for the caller to see the record is too long.
    std::string blob(maxBytes + 1, '\0');
    std::size_t got = 0;
    while (got < blob.size()) {
        const ssize_t n = ::read(file.get(), blob.data() + got, blob.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            wipe(blob);
            systemFailure("Read credential", error);
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    wipe(blob.data() + got, blob.size() - got);
    blob.resize(got);
    return blob;
}

void FileCredentialVault::remove(std::string_view target) {
    const std::filesystem::path path = directory_ / fileNameFor(target);
    if (::unlink(path.c_str()) != 0) {
        if (errno == ENOENT) return;
        systemFailure("Remove saved credential", errno);
    }
    syncDirectory();
}

}  // namespace murel
