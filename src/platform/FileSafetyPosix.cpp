#include "FileSafety.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

const char *const kCallerVariable = "PKEXEC_UID"; // set by pkexec for the program it starts
const mode_t kOrdinaryFolderMode = 0755;
const mode_t kNewFileMode = 0600;
const mode_t kDefaultReplacedMode = 0644;
const mode_t kPermissionBits = 0777;
const mode_t kOthersMayWrite = S_IWGRP | S_IWOTH;
const mode_t kOthersMayEnter = S_IRWXG | S_IRWXO;
const size_t kCopyBlockBytes = 1 << 20;
const char *const kReplacementSuffix = ".farlink-new";
const char *const kAccessListAttribute = "system.posix_acl_access";
const char *const kOpenDescriptorFolder = "/proc/self/fd/";
// A folder swapped for a link (or back) between its check and its use is tried again this often.
const int kRemovalAttempts = 3;

// A descriptor closed when it goes out of scope.
class Descriptor
{
public:
    explicit Descriptor(int fd = -1) : fd(fd) {}
    ~Descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    void reset(int other)
    {
        if (fd >= 0)
            close(fd);
        fd = other;
    }
    int get() const { return fd; }
    int release()
    {
        const int released = fd;
        fd = -1;
        return released;
    }
    bool valid() const { return fd >= 0; }

private:
    int fd;
};

void logFailure(const char *operation, const std::string &path, int error)
{
    std::fprintf(stderr, "%s %s: %s\n", operation, path.c_str(), std::strerror(error));
}

std::vector<std::string> componentsOf(const std::string &path)
{
    std::vector<std::string> components;
    std::string::size_type start = 0;
    while (start <= path.size()) {
        const std::string::size_type end = path.find('/', start);
        const std::string component = path.substr(start, end - start);
        if (!component.empty() && component != ".")
            components.push_back(component);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return components;
}

// The folder at components[0..count), each opened without following a link. -1 with errno on failure: ELOOP
// or ENOTDIR when a component is a link or no folder.
int openFolderChain(const std::vector<std::string> &components, size_t count)
{
    Descriptor folder(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (size_t i = 0; i < count && folder.valid(); ++i) {
        if (components[i] == "..") {
            errno = EINVAL;
            return -1;
        }
        Descriptor next(
            openat(folder.get(), components[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid())
            return -1;
        folder.reset(next.release());
    }
    return folder.release();
}

// The folder that holds the path's last component, reached without following a link, and that component.
struct Parent
{
    Descriptor folder;
    std::string name;
};

bool openParent(const std::string &path, Parent &parent)
{
    const std::vector<std::string> components = componentsOf(path);
    if (path.empty() || path.front() != '/' || components.empty() || components.back() == "..") {
        errno = EINVAL;
        return false;
    }
    parent.folder.reset(openFolderChain(components, components.size() - 1));
    parent.name = components.back();
    return parent.folder.valid();
}

uid_t callerUserId()
{
    const char *value = std::getenv(kCallerVariable);
    if (getuid() != 0 || !value || !*value)
        return getuid();
    char *end = nullptr;
    const unsigned long parsed = std::strtoul(value, &end, 10);
    return *end == '\0' ? static_cast<uid_t>(parsed) : getuid();
}

// The entry's own status, or false with errno; a link or non-folder on the way gives ELOOP or ENOTDIR.
bool statusWithoutFollowing(const std::string &path, struct stat &info)
{
    Parent parent;
    return openParent(path, parent) &&
           fstatat(parent.folder.get(), parent.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

EntryStatus statusFrom(const struct stat &info)
{
    EntryStatus status;
    if (S_ISREG(info.st_mode))
        status.type = EntryType::File;
    else if (S_ISDIR(info.st_mode))
        status.type = EntryType::Folder;
    else if (S_ISLNK(info.st_mode))
        status.type = EntryType::Link;
    else
        status.type = EntryType::Other;
    status.size = static_cast<unsigned long long>(info.st_size);
    status.linkCount = static_cast<unsigned long>(info.st_nlink);
    status.ownedByAdministrators = info.st_uid == 0;
    status.ownedByCaller = info.st_uid == callerUserId();
    status.setIdBits = (info.st_mode & (S_ISUID | S_ISGID)) != 0;
    return status;
}

std::string describe(const std::string &path, const std::string &problem)
{
    return path + ": " + problem;
}

std::string describeStatFailure(const std::string &path)
{
    if (errno == ELOOP || errno == ENOTDIR)
        return describe(path, "a link, or a file where a folder is expected, lies on the way");
    return describe(path, std::strerror(errno));
}

// With an access list the group bits of the mode are its mask: whoever the list names may write, not only
// the owning group. A list that cannot be read counts as one.
bool hasAccessList(int folder)
{
    const std::string opened = kOpenDescriptorFolder + std::to_string(folder);
    return getxattr(opened.c_str(), kAccessListAttribute, nullptr, 0) >= 0 ||
           (errno != ENODATA && errno != EOPNOTSUPP);
}

// A folder whose entries only root can rename, remove or replace.
std::string whyFolderKeepsNoEntries(int folder, const std::string &path, const struct stat &info)
{
    if (!S_ISDIR(info.st_mode))
        return describe(path, "not a folder");
    if (info.st_uid != 0)
        return describe(path, "owned by user " + std::to_string(info.st_uid) + ", not root");
    if (info.st_mode & S_ISVTX)
        return {};
    if (info.st_mode & S_IWOTH)
        return describe(path, "writable by others and not sticky");
    if ((info.st_mode & S_IWGRP) && info.st_gid != 0)
        return describe(path, "writable by group " + std::to_string(info.st_gid) + " and not sticky");
    if ((info.st_mode & S_IWGRP) && hasAccessList(folder))
        return describe(path, "writable through its access list and not sticky");
    return {};
}

std::string whyNotClosedToOthers(const std::string &path, const struct stat &info, mode_t forbidden)
{
    if (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode))
        return describe(path, "neither a regular file nor a folder");
    if (info.st_uid != 0)
        return describe(path, "owned by user " + std::to_string(info.st_uid) + ", not root");
    if (info.st_mode & forbidden)
        return describe(path, (info.st_mode & kOthersMayWrite) ? "writable by group or others"
                                                               : "open to group or others");
    return {};
}

std::string parentOf(const std::string &path)
{
    const std::string::size_type slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

// The folder itself checked with the rule given, everything above it with whyPathUntrusted.
std::string whyFolderUntrusted(const std::string &folder, mode_t forbidden)
{
    const std::string above = whyPathUntrusted(parentOf(folder));
    if (!above.empty())
        return above;
    struct stat info;
    if (!statusWithoutFollowing(folder, info))
        return describeStatFailure(folder);
    if (!S_ISDIR(info.st_mode))
        return describe(folder, "not a folder");
    return whyNotClosedToOthers(folder, info, forbidden);
}

bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool copyContents(int from, int to, off_t expected)
{
    thread_local std::vector<char> block(kCopyBlockBytes);
    off_t copied = 0;
    for (;;) {
        const ssize_t received = read(from, block.data(), block.size());
        if (received < 0 && errno == EINTR)
            continue;
        if (received < 0)
            return false;
        if (received == 0)
            return copied == expected;
        if (!writeAll(to, block.data(), static_cast<size_t>(received)))
            return false;
        copied += received;
    }
}

// A regular file opened for reading without following a link anywhere on its path.
int openRegularFile(const std::string &path, struct stat &info)
{
    Parent parent;
    if (!openParent(path, parent))
        return -1;
    // Not blocking: opening a fifo that someone planted would otherwise wait for a writer forever.
    Descriptor file(
        openat(parent.folder.get(), parent.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid() || fstat(file.get(), &info) != 0)
        return -1;
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    return file.release();
}

// The copy of copyFile, from the entry sourceName of the folder handle from to the new entry targetName of
// the folder handle to; the paths only name them in the log.
bool copyFileAt(int from, const std::string &sourceName, int to, const std::string &targetName,
                const std::string &source, const std::string &target)
{
    struct stat info;
    // Not blocking: opening a fifo that someone planted would otherwise wait for a writer forever.
    Descriptor original(openat(from, sourceName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!original.valid() || fstat(original.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        logFailure("copyFile", source, original.valid() ? EINVAL : errno);
        return false;
    }
    const mode_t mode = info.st_mode & kPermissionBits;
    Descriptor copy(openat(to, targetName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           mode & ~kOthersMayEnter));
    if (!copy.valid()) {
        logFailure("copyFile", target, errno);
        return false;
    }
    // Narrow while the bytes go in, the final mode once they are there: umask never decides.
    const bool copied =
        copyContents(original.get(), copy.get(), info.st_size) && fchmod(copy.get(), mode) == 0;
    if (!copied)
        unlinkat(to, targetName.c_str(), 0);
    return copied;
}

bool removeAt(int folder, const char *name);

// Everything inside the open folder, each entry as what it is.
bool removeContents(int folder)
{
    const int listing = dup(folder);
    DIR *entries = listing >= 0 ? fdopendir(listing) : nullptr;
    if (!entries) {
        if (listing >= 0)
            close(listing);
        return false;
    }
    bool removed = true;
    std::vector<std::string> names;
    while (const dirent *entry = readdir(entries)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(entries);
    for (const std::string &name : names)
        removed = removeAt(folder, name.c_str()) && removed;
    return removed;
}

bool removeFolderAt(int parent, const char *name)
{
    Descriptor folder(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid())
        return false; // swapped for a link or file meanwhile: the caller tries again as what it is now
    const bool emptied = removeContents(folder.get());
    return emptied && unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

bool removeAt(int parent, const char *name)
{
    for (int attempt = 0; attempt < kRemovalAttempts; ++attempt) {
        struct stat info;
        if (fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT;
        const bool removed =
            S_ISDIR(info.st_mode) ? removeFolderAt(parent, name) : unlinkat(parent, name, 0) == 0;
        if (removed)
            return true;
    }
    std::fprintf(stderr, "removeTree: cannot remove %s: %s\n", name, std::strerror(errno));
    return false;
}

} // namespace

std::string whyPathUntrusted(const std::string &folder)
{
    const std::vector<std::string> components = componentsOf(folder);
    Descriptor current(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string path;
    for (size_t i = 0; i <= components.size(); ++i) {
        if (i > 0) {
            path += "/" + components[i - 1];
            if (components[i - 1] == "..")
                return describe(path, "not a real path");
            current.reset(openat(current.get(), components[i - 1].c_str(),
                                 O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
        struct stat info;
        if (!current.valid() || fstat(current.get(), &info) != 0)
            return describeStatFailure(path.empty() ? "/" : path);
        const std::string problem = whyFolderKeepsNoEntries(current.get(), path.empty() ? "/" : path, info);
        if (!problem.empty())
            return problem;
    }
    return {};
}

std::string whyProgramFolderUntrusted(const std::string &folder)
{
    return whyFolderUntrusted(folder, kOthersMayWrite);
}

std::string whyPrivateFolderUntrusted(const std::string &folder)
{
    return whyFolderUntrusted(folder, kOthersMayEnter);
}

std::string whyFileUntrusted(const std::string &path)
{
    struct stat info;
    if (!statusWithoutFollowing(path, info))
        return describeStatFailure(path);
    if (S_ISLNK(info.st_mode))
        return describe(path, "a link");
    if (!S_ISREG(info.st_mode))
        return describe(path, "not a regular file");
    if (info.st_nlink != 1)
        return describe(path, "has " + std::to_string(info.st_nlink) + " hard links");
    return whyNotClosedToOthers(path, info, kOthersMayWrite);
}

std::string preparePrivateFolder(const std::string &path)
{
    // The parent first: a folder created below one that others can change could be swapped afterwards.
    const std::string above = whyPathUntrusted(parentOf(path));
    if (!above.empty())
        return above;
    if (createPrivateFolder(path) == FolderCreation::Failed)
        return describe(path, "cannot be created");
    return whyPrivateFolderUntrusted(path);
}

EntryStatus entryStatus(const std::string &path)
{
    struct stat info;
    if (statusWithoutFollowing(path, info))
        return statusFrom(info);
    EntryStatus status;
    if (errno == ELOOP || errno == ENOTDIR)
        status.type = EntryType::Link;
    return status;
}

std::vector<FolderEntry> folderEntries(const std::string &folder)
{
    std::vector<FolderEntry> found;
    const std::vector<std::string> components = componentsOf(folder);
    const Descriptor opened(
        folder.empty() || folder.front() != '/' ? -1 : openFolderChain(components, components.size()));
    // O_PATH cannot be read; the folder is opened again through the handle, never through its path.
    Descriptor listing(opened.valid() ? openat(opened.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    DIR *entries = listing.valid() ? fdopendir(listing.get()) : nullptr;
    if (!entries) {
        logFailure("folderEntries", folder, errno);
        return found;
    }
    const int handle = listing.release();
    while (const dirent *entry = readdir(entries)) {
        const std::string name = entry->d_name;
        struct stat info;
        if (name != "." && name != "..")
            found.push_back({name, fstatat(handle, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0
                                       ? statusFrom(info)
                                       : EntryStatus{}});
    }
    closedir(entries);
    return found;
}

bool removeTree(const std::string &path)
{
    Parent parent;
    if (!openParent(path, parent)) {
        if (errno == ENOENT)
            return true;
        logFailure("removeTree", path, errno);
        return false;
    }
    const bool removed = removeAt(parent.folder.get(), parent.name.c_str());
    if (!removed)
        logFailure("removeTree", path, errno);
    return removed;
}

FolderCreation createFolder(const std::string &path)
{
    Parent parent;
    if (!openParent(path, parent)) {
        logFailure("createFolder", path, errno);
        return FolderCreation::Failed;
    }
    if (mkdirat(parent.folder.get(), parent.name.c_str(), kOrdinaryFolderMode) != 0) {
        if (errno == EEXIST)
            return FolderCreation::NameTaken;
        logFailure("createFolder", path, errno);
        return FolderCreation::Failed;
    }
    // The umask narrows what mkdirat sets: the mode is set again on what was created, never through a link.
    const Descriptor created(
        openat(parent.folder.get(), parent.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (created.valid() && fchmod(created.get(), kOrdinaryFolderMode) == 0)
        return FolderCreation::Created;
    logFailure("createFolder", path, errno);
    unlinkat(parent.folder.get(), parent.name.c_str(), AT_REMOVEDIR);
    return FolderCreation::Failed;
}

bool copyFile(const std::string &source, const std::string &target)
{
    Parent from;
    Parent to;
    if (!openParent(source, from) || !openParent(target, to)) {
        logFailure("copyFile", from.folder.valid() ? target : source, errno);
        return false;
    }
    return copyFileAt(from.folder.get(), from.name, to.folder.get(), to.name, source, target);
}

void copyFilesBetween(const std::string &sourceFolder, const std::string &targetFolder,
                      const std::vector<std::string> &names, const std::function<void(size_t, bool)> &copied)
{
    const std::vector<std::string> sourceComponents = componentsOf(sourceFolder);
    const std::vector<std::string> targetComponents = componentsOf(targetFolder);
    const bool absolute = !sourceFolder.empty() && sourceFolder.front() == '/' && !targetFolder.empty() &&
                          targetFolder.front() == '/';
    const Descriptor from(absolute ? openFolderChain(sourceComponents, sourceComponents.size()) : -1);
    const Descriptor to(absolute ? openFolderChain(targetComponents, targetComponents.size()) : -1);
    if (!from.valid() || !to.valid())
        logFailure("copyFilesBetween", from.valid() ? targetFolder : sourceFolder, absolute ? errno : EINVAL);
    for (size_t i = 0; i < names.size(); ++i) {
        const bool plainName = names[i].find('/') == std::string::npos && names[i] != "." && names[i] != "..";
        copied(i, from.valid() && to.valid() && plainName &&
                      copyFileAt(from.get(), names[i], to.get(), names[i], sourceFolder + "/" + names[i],
                                 targetFolder + "/" + names[i]));
    }
}

bool copyLink(const std::string &source, const std::string &target)
{
    Parent from;
    Parent to;
    if (!openParent(source, from) || !openParent(target, to)) {
        logFailure("copyLink", from.folder.valid() ? target : source, errno);
        return false;
    }
    std::vector<char> content(PATH_MAX + 1);
    const ssize_t length = readlinkat(from.folder.get(), from.name.c_str(), content.data(), content.size());
    if (length < 0 || static_cast<size_t>(length) >= content.size()) {
        logFailure("copyLink", source, length < 0 ? errno : ENAMETOOLONG);
        return false;
    }
    const std::string linkTarget(content.data(), static_cast<size_t>(length));
    if (symlinkat(linkTarget.c_str(), to.folder.get(), to.name.c_str()) != 0) {
        logFailure("copyLink", target, errno);
        return false;
    }
    return true;
}

bool sameContents(const std::string &first, const std::string &second)
{
    struct stat firstInfo;
    struct stat secondInfo;
    Descriptor a(openRegularFile(first, firstInfo));
    Descriptor b(openRegularFile(second, secondInfo));
    if (!a.valid() || !b.valid() || firstInfo.st_size != secondInfo.st_size)
        return false;
    // Reused: a restore compares every file, most of them small.
    thread_local std::vector<char> blockA(kCopyBlockBytes);
    thread_local std::vector<char> blockB(kCopyBlockBytes);
    for (;;) {
        const ssize_t readA = read(a.get(), blockA.data(), blockA.size());
        if (readA < 0)
            return false;
        size_t filled = 0;
        while (filled < static_cast<size_t>(readA)) {
            const ssize_t readB = read(b.get(), blockB.data() + filled, static_cast<size_t>(readA) - filled);
            if (readB <= 0)
                return false;
            filled += static_cast<size_t>(readB);
        }
        if (readA == 0)
            return true;
        if (std::memcmp(blockA.data(), blockB.data(), filled) != 0)
            return false;
    }
}

int createNewFile(const std::string &path)
{
    Parent parent;
    if (!openParent(path, parent)) {
        logFailure("createNewFile", path, errno);
        return -1;
    }
    Descriptor file(openat(parent.folder.get(), parent.name.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode));
    if (!file.valid() || fchmod(file.get(), kNewFileMode) != 0) {
        logFailure("createNewFile", path, errno);
        return -1;
    }
    return file.release();
}

std::string replaceFile(const std::string &path, const std::string &bytes)
{
    Parent parent;
    if (!openParent(path, parent))
        return describeStatFailure(path);
    struct stat old;
    const bool exists = fstatat(parent.folder.get(), parent.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT)
        return describe(path, std::strerror(errno));
    if (exists && !S_ISREG(old.st_mode))
        return describe(path, S_ISLNK(old.st_mode) ? "a link, left alone" : "not a regular file, left alone");
    if (exists && old.st_nlink != 1)
        return describe(path, "has " + std::to_string(old.st_nlink) + " hard links, left alone");

    const std::string temporary = parent.name + kReplacementSuffix;
    const int folder = parent.folder.get();
    // A leftover of an interrupted replacement is ours to discard; anything else with the name stays.
    struct stat leftover;
    if (fstatat(folder, temporary.c_str(), &leftover, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(leftover.st_mode))
        unlinkat(folder, temporary.c_str(), 0);
    const mode_t mode = exists ? old.st_mode & 07777 : kDefaultReplacedMode;
    Descriptor file(openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           kNewFileMode));
    if (!file.valid())
        return describe(path + kReplacementSuffix, std::strerror(errno));
    struct stat written;
    const bool whole =
        writeAll(file.get(), bytes.data(), bytes.size()) && fsync(file.get()) == 0 &&
        fstat(file.get(), &written) == 0 && written.st_size == static_cast<off_t>(bytes.size()) &&
        (!exists || fchown(file.get(), old.st_uid, old.st_gid) == 0) && fchmod(file.get(), mode) == 0;
    const int error = errno;
    if (!whole || renameat(folder, temporary.c_str(), folder, parent.name.c_str()) != 0) {
        const std::string reason = whole ? std::strerror(errno) : std::strerror(error);
        unlinkat(folder, temporary.c_str(), 0);
        return describe(path, "not written whole: " + reason);
    }
    // The rename lives in the folder; the parent descriptor only names it, so the folder is opened to flush.
    const Descriptor opened(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!opened.valid() || fsync(opened.get()) != 0)
        return describe(path, std::string("folder not flushed: ") + std::strerror(errno));
    return {};
}

std::string removeCallersEntry(const std::string &path, bool folder)
{
    struct stat info;
    if (!statusWithoutFollowing(path, info))
        return errno == ENOENT ? std::string() : describeStatFailure(path);
    if (folder ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode))
        return describe(path, folder ? "not a real folder" : "not a regular file");
    if (info.st_uid != callerUserId())
        return describe(path, "owned by user " + std::to_string(info.st_uid) + ", not by the caller");
    return removeTree(path) ? std::string() : describe(path, "cannot be removed");
}

} // namespace platform
