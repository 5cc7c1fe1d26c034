// All-or-nothing output files on Linux: mkstemp beside the target, checked
// write(2) and close(2), and a commit under flock(2) of the target
// directories by link(2) and rename(2) that can be undone until every file
// has landed.
#include "files/output_file.h"
#include "files/temp_files.h"

#include <algorithm>  // std::any_of, std::find, std::sort
#include <cerrno>
#include <chrono>
#include <climits>  // PATH_MAX
#include <csignal>
#include <cstdio>   // std::fflush
#include <cstdlib>  // mkstemp
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <linux/magic.h>  // PROC_SUPER_MAGIC
#include <sys/file.h>     // flock
#include <sys/stat.h>
#include <sys/vfs.h>      // statfs
#include <unistd.h>

namespace tarnek {

namespace {

constexpr size_t kBlockSize = size_t{1} << 20;

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The descriptor of this process that `link` names, as /proc/self/fd/N
// (where /dev/stdout, /dev/stderr and /dev/fd/N lead) or
// /proc/thread-self/fd/N does, or -1 when it names none: its final name is
// a number and its directory is the fd directory of this process (or of
// one of its threads) on a proc file system, wherever that is mounted.
int OwnDescriptor(const std::string& link) {
  const size_t slash = link.rfind('/');
  if (slash == std::string::npos || slash + 1 == link.size() || link.size() - slash > 11) return -1;
  long number = 0;
  for (size_t i = slash + 1; i < link.size(); ++i) {
    if (link[i] < '0' || link[i] > '9') return -1;
    number = number * 10 + (link[i] - '0');
  }
  if (number > INT_MAX) return -1;
  const std::string directory = DirectoryOf(link);
  struct statfs info{};
  if (statfs(directory.c_str(), &info) != 0 || info.f_type != PROC_SUPER_MAGIC) return -1;
  char* real = realpath(directory.c_str(), nullptr);
  if (real == nullptr) return -1;
  // ".../PID/fd" or ".../PID/task/TID/fd", PID this process's.
  std::string path(real);
  std::free(real);
  if (!path.ends_with("/fd")) return -1;
  path.resize(path.size() - 3);
  if (const size_t task = path.rfind("/task/"); task != std::string::npos && path.find('/', task + 6) == std::string::npos) {
    path.resize(task);
  }
  std::string own_name(1, '/');
  own_name += std::to_string(getpid());
  const bool own = path.ends_with(own_name);
  return own && fcntl(static_cast<int>(number), F_GETFD) != -1 ? static_cast<int>(number) : -1;
}

// True when `link`, whose text is `text`, is a link of /proc to a file that
// another process holds open and its text is no path but names a pipe or a
// socket ("pipe:[4711]"): such a link itself opens that file.
bool IsOpenFileLink(const std::string& link, const std::string& text) {
  struct statfs info{};
  return text.front() != '/' && statfs(DirectoryOf(link).c_str(), &info) == 0 && info.f_type == PROC_SUPER_MAGIC;
}

// Follows symbolic links from `path` to the name of the file they lead to,
// which need not exist. A link that names a descriptor of this process
// (OwnDescriptor) is that file's name, whatever it leads to, and so is a
// link to another process's open pipe or socket. False when the links
// cannot be read or loop.
bool ResolveLinks(const std::string& path, std::string& target) {
  target = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info{};
    if (lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
    if (OwnDescriptor(target) >= 0) return true;
    std::string link(static_cast<size_t>(info.st_size > 0 ? info.st_size : PATH_MAX) + 1, '\0');
    const ssize_t length = readlink(target.c_str(), link.data(), link.size());
    if (length <= 0 || static_cast<size_t>(length) >= link.size()) return false;
    link.resize(static_cast<size_t>(length));
    if (IsOpenFileLink(target, link)) return true;
    target = (link.front() == '/' || target.find('/') == std::string::npos)
                 ? link
                 : DirectoryOf(target) + "/" + link;
  }
  return false;
}

// The mode a file created by fopen(name, "w") would get: an existing file
// keeps its own, a new one gets 0666 less the umask.
mode_t ModeFor(bool exists, const struct stat& info) {
  if (exists) return info.st_mode & 07777;
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// True when fchmod failed on a file of one's own, just created, because its
// file system keeps no permissions (FAT through FUSE): it has no such call
// (ENOSYS), or refuses it for every file and user (EOPNOTSUPP, EPERM). The
// file then has the mode that the file system gives every file.
bool NoPermissionsHere(int error) { return error == ENOSYS || error == EOPNOTSUPP || error == EPERM; }

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Notes when the file's first write failed, so that the first failure of
// all files can be told: the monotonic clock, in nanoseconds (writes are
// system calls apart, never within one nanosecond).
void NoteFailure(OutputFile& file) {
  if (file.FailedAt == 0) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    file.FailedAt = std::max<uint64_t>(1, static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
  }
}

// Writes `size` bytes at `data` to the file. An output written in place may
// share its file with the console (/dev/stdout): what the process holds in
// its stdio buffers goes out first, so that the bytes land in the order
// they were written.
void WriteOut(OutputFile& file, const char* data, size_t size) {
  if (file.FailedAt != 0 || size == 0) return;
  if (file.InPlace) std::fflush(nullptr);
  if (!WriteAll(file.Fd, data, size)) NoteFailure(file);
}

void FlushBuffer(OutputFile& file) {
  WriteOut(file, file.Buffer.data(), file.Buffer.size());
  file.Buffer.clear();
}

// True when the file is one that fsync can write out: a temporary file, or
// a regular file written in place (through /dev/stdout); not a pipe or a
// device.
bool Syncable(const OutputFile& file) {
  struct stat info{};
  return !file.InPlace || (fstat(file.Fd, &info) == 0 && S_ISREG(info.st_mode));
}

}  // namespace

OutputStatus CreateOutput(OutputFile& file, const std::string& name) {
  InstallTempFileCleanup();
  DiscardOutput(file);
  file.FailedAt = 0;
  file.InPlace = false;
  file.Name = name;
  if (name.empty()) return OutputStatus::CannotCreate;

  // A symbolic link stays as it is: the file it leads to is the one written,
  // whether it exists yet or not.
  if (!ResolveLinks(name, file.Target)) return OutputStatus::CannotCreate;
  if (const int own = OwnDescriptor(file.Target); own >= 0) {
    // A descriptor of this process (/dev/stdout): written through it, at its
    // offset or its end, after what was written there before.
    struct stat info{};
    const int flags = fcntl(own, F_GETFL);
    if (flags == -1 || (flags & O_ACCMODE) == O_RDONLY || fstat(own, &info) != 0 || S_ISDIR(info.st_mode)) {
      return OutputStatus::CannotCreate;
    }
    file.Fd = fcntl(own, F_DUPFD_CLOEXEC, 0);
    file.InPlace = true;
    return file.Fd < 0 ? OutputStatus::CannotCreate : OutputStatus::Ok;
  }
  struct stat info{};
  const bool exists = stat(file.Target.c_str(), &info) == 0;
  if (!exists && errno != ENOENT) return OutputStatus::CannotCreate;
  if (exists && S_ISDIR(info.st_mode)) return OutputStatus::CannotCreate;
  if (exists && !S_ISREG(info.st_mode)) {
    // Devices and FIFOs cannot be replaced: they are written through.
    file.Fd = open(file.Target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    file.InPlace = true;
    return file.Fd < 0 ? OutputStatus::CannotCreate : OutputStatus::Ok;
  }

  // The temporary exists from mkstemp on: no signal until it is registered
  // for removal.
  std::string temp = DirectoryOf(file.Target) + "/.tarnek-XXXXXX";
  const sigset_t previous = BlockFatalSignals();
  const int fd = mkstemp(temp.data());
  if (fd >= 0) {
    file.TempName = std::move(temp);
    file.Fd = fd;
    RememberTempFile(file.TempName);
  }
  RestoreSignals(previous);
  if (fd < 0) return OutputStatus::CannotCreate;
  if (fchmod(fd, ModeFor(exists, info)) != 0 && !NoPermissionsHere(errno)) {
    DiscardOutput(file);
    return OutputStatus::CannotCreate;
  }
  file.Buffer.reserve(kBlockSize);
  return OutputStatus::Ok;
}

void WriteOutput(OutputFile& file, std::string_view bytes) {
  if (file.Buffer.empty() && bytes.size() >= kBlockSize) {
    // A whole block goes out as it is, without a copy.
    WriteOut(file, bytes.data(), bytes.size());
    return;
  }
  file.Buffer.append(bytes);
  if (file.Buffer.size() >= kBlockSize) FlushBuffer(file);
}

OutputStatus FinishOutput(OutputFile& file, bool sync) {
  if (file.Fd >= 0) {
    FlushBuffer(file);
    if (sync && file.FailedAt == 0 && Syncable(file) && fsync(file.Fd) != 0) NoteFailure(file);
    if (close(file.Fd) != 0) NoteFailure(file);
    file.Fd = -1;
  }
  return file.FailedAt != 0 ? OutputStatus::CannotWrite : OutputStatus::Ok;
}

const OutputFile* FinishOutputs(OutputFile* const* files, int count, bool sync) {
  const OutputFile* first = nullptr;
  for (int i = 0; i < count; ++i) {
    // Once one has failed none will land: syncing the others would be wasted.
    const bool failed = FinishOutput(*files[i], sync && first == nullptr) != OutputStatus::Ok;
    if (failed && (first == nullptr || files[i]->FailedAt < first->FailedAt)) {
      first = files[i];
    }
  }
  return first;
}

namespace {

// How a finished temporary file took its target's place, and how that is undone.
enum class Placement {
  None,         // it could not
  Created,      // renamed to a target that did not exist; undone by renaming it back
  Replaced,     // renamed over the target, whose old content has a second name, OldName; undone by renaming that back
  Exchanged,    // swapped with the target (no second name possible); the old content is under the temporary name
  MovedAside,   // the target renamed to OldName, then the temporary file to the target (neither hard links nor
                // swaps); undone by renaming the new file back to the temporary name and OldName to the target
};

struct Placed {
  Placement How = Placement::None;
  std::string OldName = {};  // Replaced, MovedAside: the old content's name beside the temporary file
};

// Gives the existing target (described by `info`) a second name beside the
// temporary file, so that it can be put back. False where that cannot be
// done, or could not be undone: a file system without hard links, or another
// user's file in a sticky directory, where the second name could not be
// removed again.
bool KeepOldContent(const OutputFile& file, const struct stat& info, std::string& oldName) {
  struct stat directory{};
  if (stat(DirectoryOf(file.Target).c_str(), &directory) != 0) return false;
  const uid_t user = geteuid();
  if ((directory.st_mode & S_ISVTX) != 0 && info.st_uid != user && directory.st_uid != user) return false;
  oldName = file.TempName + "-old";
  return link(file.Target.c_str(), oldName.c_str()) == 0;
}

// Puts the finished temporary file in place of its target. An earlier file
// is replaced by a plain rename over it, which on ext4 (auto_da_alloc) makes
// the new data go out to the disk before the new name does: a power cut does
// not leave an empty file where the earlier one was. Its old content keeps a
// second name until every output has landed. Where there are no hard links,
// the two swap names; where there are no swaps either (exFAT, FAT), the
// earlier file is first renamed aside, so that for a moment the target name
// is missing.
Placed PlaceOutput(const OutputFile& file) {
  const char* temp = file.TempName.c_str();
  const char* target = file.Target.c_str();
  struct stat info{};
  if (lstat(target, &info) != 0) {
    if (renameat2(AT_FDCWD, temp, AT_FDCWD, target, RENAME_NOREPLACE) == 0) return {Placement::Created};
    // A file system without RENAME_NOREPLACE takes a plain rename.
    if (errno == EINVAL && rename(temp, target) == 0) return {Placement::Created};
    if (errno != EEXIST || lstat(target, &info) != 0) return {};
  }
  Placed placed{Placement::Replaced};
  if (KeepOldContent(file, info, placed.OldName)) {
    if (rename(temp, target) == 0) return placed;
    unlink(placed.OldName.c_str());
    return {};
  }
  if (renameat2(AT_FDCWD, temp, AT_FDCWD, target, RENAME_EXCHANGE) == 0) return {Placement::Exchanged};
  if (errno != EINVAL) return {};  // refused, not unsupported
  placed = {Placement::MovedAside, file.TempName + "-old"};
  if (rename(target, placed.OldName.c_str()) != 0) return {};
  if (rename(temp, target) == 0) return placed;
  rename(placed.OldName.c_str(), target);
  return {};
}

// Puts the target back as it was.
void UndoPlacement(const OutputFile& file, const Placed& placed) {
  const char* temp = file.TempName.c_str();
  const char* target = file.Target.c_str();
  switch (placed.How) {
    case Placement::Created: rename(target, temp); break;
    case Placement::Replaced: rename(placed.OldName.c_str(), target); break;
    case Placement::Exchanged: renameat2(AT_FDCWD, temp, AT_FDCWD, target, RENAME_EXCHANGE); break;
    case Placement::MovedAside:
      rename(target, temp);
      rename(placed.OldName.c_str(), target);
      break;
    case Placement::None: break;
  }
}

// Removes the old content of a target that has been replaced for good.
void DropOldContent(const OutputFile& file, const Placed& placed) {
  if (placed.How == Placement::Replaced || placed.How == Placement::MovedAside) unlink(placed.OldName.c_str());
  if (placed.How == Placement::Exchanged) unlink(file.TempName.c_str());
}

// Takes an exclusive flock on every directory that receives a temporary
// file, each once, in the order of device and inode so that two runs never
// wait for each other crosswise. Returns the descriptors that hold them. A
// directory that cannot be opened for reading, or whose file system has no
// flock, is not locked: the commit goes on without.
std::vector<int> LockDirectories(OutputFile* const* files, int count) {
  struct Locked {
    dev_t Device;
    ino_t Inode;
    int Fd;
  };
  std::vector<Locked> locked;
  for (int i = 0; i < count; ++i) {
    if (files[i]->TempName.empty()) continue;  // written in place
    const int fd = open(DirectoryOf(files[i]->Target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info{};
    if (fd < 0) continue;
    const auto same = [&](const Locked& l) { return l.Device == info.st_dev && l.Inode == info.st_ino; };
    if (fstat(fd, &info) != 0 || std::any_of(locked.begin(), locked.end(), same)) {
      close(fd);
      continue;
    }
    locked.push_back({info.st_dev, info.st_ino, fd});
  }
  std::sort(locked.begin(), locked.end(), [](const Locked& a, const Locked& b) {
    return a.Device != b.Device ? a.Device < b.Device : a.Inode < b.Inode;
  });
  std::vector<int> fds;
  for (const Locked& l : locked) {
    while (flock(l.Fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    fds.push_back(l.Fd);
  }
  return fds;
}

// True when the target may still be replaced: it does not exist, or it is a
// regular file. What was put there since the output was created (a
// directory, a symbolic link, a device) is not the run's to replace.
bool StillReplaceable(const OutputFile& file) {
  struct stat info{};
  if (lstat(file.Target.c_str(), &info) != 0) return errno == ENOENT;
  return S_ISREG(info.st_mode);
}

}  // namespace

const OutputFile* CommitOutputs(OutputFile* const* files, int count) {
  // Other runs commit one at a time, so that none sees, or leaves, the
  // outputs of two runs mixed; under the lock the targets are checked again.
  // The lock is waited for with signals still free.
  const std::vector<int> locks = LockDirectories(files, count);
  // No signal while the files change places: either all land, or,
  // when one cannot, those already placed are put back as they were.
  const sigset_t previous = BlockFatalSignals();
  std::vector<Placed> placed(static_cast<size_t>(count));
  const OutputFile* failed = nullptr;
  for (int i = 0; i < count && failed == nullptr; ++i) {
    if (!files[i]->TempName.empty() && !StillReplaceable(*files[i])) failed = files[i];
  }
  for (int i = 0; i < count && failed == nullptr; ++i) {
    if (files[i]->TempName.empty()) continue;  // written in place
    placed[i] = PlaceOutput(*files[i]);
    if (placed[i].How == Placement::None) {
      failed = files[i];
      while (--i >= 0) UndoPlacement(*files[i], placed[i]);
    }
  }
  if (failed == nullptr) {
    for (int i = 0; i < count; ++i) {
      OutputFile& file = *files[i];
      if (placed[i].How == Placement::None) continue;
      DropOldContent(file, placed[i]);
      ForgetTempFile(file.TempName);
      file.TempName.clear();
    }
  }
  RestoreSignals(previous);
  for (int fd : locks) close(fd);
  return failed;
}

namespace {

// Opens the directory of each file that takes a new name, each once, and
// acts on it; returns the first file whose directory cannot be opened or
// fails the act, or nullptr.
template <typename Act>
const OutputFile* EachNewNameDirectory(OutputFile* const* files, int count, Act act) {
  std::vector<std::string> done;
  for (int i = 0; i < count; ++i) {
    if (files[i]->InPlace) continue;  // no new name
    std::string directory = DirectoryOf(files[i]->Target);
    if (std::find(done.begin(), done.end(), directory) != done.end()) continue;
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool ok = fd >= 0 && act(fd);
    if (fd >= 0) close(fd);
    if (!ok) return files[i];
    done.push_back(std::move(directory));
  }
  return nullptr;
}

}  // namespace

const OutputFile* SyncDirectories(OutputFile* const* files, int count) {
  return EachNewNameDirectory(files, count, [](int fd) { return fsync(fd) == 0; });
}

const OutputFile* UnopenableDirectory(OutputFile* const* files, int count) {
  return EachNewNameDirectory(files, count, [](int) { return true; });
}

void DiscardOutput(OutputFile& file) {
  if (file.Fd >= 0) {
    close(file.Fd);
    file.Fd = -1;
  }
  if (!file.TempName.empty()) {
    unlink(file.TempName.c_str());
    ForgetTempFile(file.TempName);
    file.TempName.clear();
  }
  file.Buffer.clear();
}

OutputFile::~OutputFile() { DiscardOutput(*this); }

namespace {

std::string FinalName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// True when some file system could take the different final names `a` and
// `b` for one: they differ only in the case of ASCII letters, or either
// holds other characters, which case folding (K and the Kelvin sign) or
// Unicode normalisation may take for others. Two ASCII names that differ
// otherwise are two files on every file system.
bool MayNameOneFile(const std::string& a, const std::string& b) {
  const auto beyondAscii = [](char c) { return static_cast<unsigned char>(c) >= 0x80; };
  if (std::any_of(a.begin(), a.end(), beyondAscii) || std::any_of(b.begin(), b.end(), beyondAscii)) return true;
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

// True when the different final names `a` and `b` lead to one entry in
// `directory`, as on a file system that ignores letter case (exFAT, FAT,
// ext4 with casefold, the volumes of macOS) or Unicode normalisation. The
// directory is asked, not guessed: a fresh subdirectory of it, which follows
// its rule (ext4 passes the casefold flag on to new directories), receives an
// entry named `a`, and `b` is looked up beside it. Where that cannot be tried
// (no right to create there, a name the file system refuses) the answer is
// false, and creating the output will tell. No signal while the probe
// exists, so that it never stays behind.
//
// The entry is a directory, not a file: a file system through FUSE learns
// that a file was closed only later, and until then it may refuse to remove
// the probe around it (fusefat did, about once in 1,200 probes made four at a
// time), which would leave the probe behind.
bool OneEntry(const std::string& directory, const std::string& a, const std::string& b) {
  std::string probe = directory + "/.tarnek-XXXXXX";
  const sigset_t previous = BlockFatalSignals();
  bool one = false;
  if (mkdtemp(probe.data()) != nullptr) {
    const std::string created = probe + "/" + a;
    const bool made = mkdir(created.c_str(), 0700) == 0;
    struct stat info{};
    one = made && lstat((probe + "/" + b).c_str(), &info) == 0;
    if (made) rmdir(created.c_str());
    rmdir(probe.c_str());
  }
  RestoreSignals(previous);
  return one;
}

bool SameDirectory(const std::string& a, const std::string& b);

// True when the paths `a` and `b`, whose final names are no symbolic links,
// lead to one entry of one directory: the same final name, or two that the
// directory takes for one.
bool SameEntry(const std::string& a, const std::string& b) {
  const std::string nameA = FinalName(a);
  const std::string nameB = FinalName(b);
  if (nameA != nameB && !MayNameOneFile(nameA, nameB)) return false;
  const std::string directory = DirectoryOf(a);
  if (!SameDirectory(directory, DirectoryOf(b))) return false;
  return nameA == nameB || OneEntry(directory, nameA, nameB);
}

// True when the directories `a` and `b` are one: the same device and inode,
// or the same entry of one parent, since a file system through FUSE may
// number a directory differently under names that differ in letter case.
// Two that cannot both be found are one when spelled alike.
bool SameDirectory(const std::string& a, const std::string& b) {
  struct stat infoA{};
  struct stat infoB{};
  if (stat(a.c_str(), &infoA) != 0 || stat(b.c_str(), &infoB) != 0) return a == b;
  if (infoA.st_dev != infoB.st_dev) return false;
  if (infoA.st_ino == infoB.st_ino) return true;
  char* realA = realpath(a.c_str(), nullptr);
  char* realB = realpath(b.c_str(), nullptr);
  const bool same = realA != nullptr && realB != nullptr &&
                    (std::strcmp(realA, realB) == 0 || SameEntry(realA, realB));
  std::free(realA);
  std::free(realB);
  return same;
}

}  // namespace

bool TakesOutputsInTurn(const std::string& name) {
  struct stat info{};
  return stat(name.c_str(), &info) == 0 && (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
}

bool SameFile(const std::string& pathA, const std::string& pathB) {
  // Symbolic links lead where the output would be written, existing or not.
  std::string a;
  std::string b;
  if (!ResolveLinks(pathA, a)) a = pathA;
  if (!ResolveLinks(pathB, b)) b = pathB;
  struct stat infoA{};
  struct stat infoB{};
  const bool existsA = stat(a.c_str(), &infoA) == 0;
  const bool existsB = stat(b.c_str(), &infoB) == 0;
  if (existsA && existsB) {
    if (infoA.st_dev != infoB.st_dev) return false;
    if (infoA.st_ino == infoB.st_ino) return true;
    // Two numbers may still be one file: a file system through FUSE numbers
    // a file by the name it was looked up with (out.txt, OUT.TXT).
  }
  if (existsA != existsB) return false;
  return SameEntry(a, b);
}

}  // namespace tarnek
