// All-or-nothing output files on Linux: mkstemp beside the target, checked
// write(2) and close(2), and a commit by renameat2(RENAME_EXCHANGE) or
// rename(2) that can be undone until every file has landed.
#include "report/output_file.h"

#include <algorithm>  // std::find
#include <cerrno>
#include <climits>  // PATH_MAX
#include <csignal>
#include <cstdlib>  // mkstemp
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarnek {

namespace {

constexpr size_t kBlockSize = size_t{1} << 20;

// Temporary files to remove if the process is interrupted: one for each
// output of a run (the log, the table and the plot), while it is written.
constexpr int kMaxTempFiles = 4;
const char* volatile gTempFiles[kMaxTempFiles] = {};

// The signals that end a run early and must take its temporary files along.
constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RemoveTempFilesAndDie(int signalNumber) {
  for (int i = 0; i < kMaxTempFiles; ++i) {
    if (const char* name = gTempFiles[i]) unlink(name);
  }
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

void InstallHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action{};
  action.sa_handler = RemoveTempFilesAndDie;
  sigemptyset(&action.sa_mask);
  for (int s : kInterruptions) {
    struct sigaction previous{};
    // A signal the caller chose to ignore stays ignored.
    if (sigaction(s, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(s, &action, nullptr);
  }
  // A file size limit or a closed FIFO reader must show up as a failed write
  // (and a message), not as a silent death that leaves a temporary file.
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
}

// Holds back the interruptions that remove temporary files; returns the mask to restore.
sigset_t BlockInterruptions() {
  sigset_t block;
  sigset_t previous;
  sigemptyset(&block);
  for (int s : kInterruptions) sigaddset(&block, s);
  sigprocmask(SIG_BLOCK, &block, &previous);
  return previous;
}

void RestoreInterruptions(const sigset_t& previous) { sigprocmask(SIG_SETMASK, &previous, nullptr); }

void RegisterTemp(const std::string& name) {
  for (int i = 0; i < kMaxTempFiles; ++i) {
    if (gTempFiles[i] == nullptr) {
      gTempFiles[i] = name.c_str();
      return;
    }
  }
}

void UnregisterTemp(const std::string& name) {
  for (int i = 0; i < kMaxTempFiles; ++i) {
    if (gTempFiles[i] == name.c_str()) gTempFiles[i] = nullptr;
  }
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Follows symbolic links from `path` to the name of the file they lead to,
// which need not exist. False when the links cannot be read or loop.
bool ResolveLinks(const std::string& path, std::string& target) {
  target = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info{};
    if (lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
    std::string link(static_cast<size_t>(info.st_size > 0 ? info.st_size : PATH_MAX) + 1, '\0');
    const ssize_t length = readlink(target.c_str(), link.data(), link.size());
    if (length < 0 || static_cast<size_t>(length) >= link.size()) return false;
    link.resize(static_cast<size_t>(length));
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

void FlushBuffer(OutputFile& file) {
  if (!file.Failed && !file.Buffer.empty() &&
      !WriteAll(file.Fd, file.Buffer.data(), file.Buffer.size())) {
    file.Failed = true;
  }
  file.Buffer.clear();
}

}  // namespace

OutputStatus CreateOutput(OutputFile& file, const std::string& name) {
  InstallHandlers();
  DiscardOutput(file);
  file.Failed = false;
  file.Name = name;
  if (name.empty()) return OutputStatus::CannotCreate;

  // A symbolic link stays as it is: the file it leads to is the one written,
  // whether it exists yet or not.
  if (!ResolveLinks(name, file.Target)) return OutputStatus::CannotCreate;
  struct stat info{};
  const bool exists = stat(file.Target.c_str(), &info) == 0;
  if (!exists && errno != ENOENT) return OutputStatus::CannotCreate;
  if (exists && S_ISDIR(info.st_mode)) return OutputStatus::CannotCreate;
  if (exists && !S_ISREG(info.st_mode)) {
    // Devices and FIFOs cannot be replaced: they are written through.
    file.Fd = open(file.Target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    return file.Fd < 0 ? OutputStatus::CannotCreate : OutputStatus::Ok;
  }

  // The temporary exists from mkstemp on: no interruption until it is
  // registered for removal.
  std::string temp = DirectoryOf(file.Target) + "/.tarnek-XXXXXX";
  const sigset_t previous = BlockInterruptions();
  const int fd = mkstemp(temp.data());
  if (fd >= 0) {
    file.TempName = std::move(temp);
    file.Fd = fd;
    RegisterTemp(file.TempName);
  }
  RestoreInterruptions(previous);
  if (fd < 0) return OutputStatus::CannotCreate;
  if (fchmod(fd, ModeFor(exists, info)) != 0) {
    DiscardOutput(file);
    return OutputStatus::CannotCreate;
  }
  file.Buffer.reserve(kBlockSize);
  return OutputStatus::Ok;
}

void WriteOutput(OutputFile& file, std::string_view bytes) {
  if (file.Buffer.empty() && bytes.size() >= kBlockSize) {
    // A whole block goes out as it is, without a copy.
    if (!file.Failed && !WriteAll(file.Fd, bytes.data(), bytes.size())) file.Failed = true;
    return;
  }
  file.Buffer.append(bytes);
  if (file.Buffer.size() >= kBlockSize) FlushBuffer(file);
}

OutputStatus FinishOutput(OutputFile& file, bool sync) {
  if (file.Fd >= 0) {
    FlushBuffer(file);
    if (sync && !file.TempName.empty() && !file.Failed && fsync(file.Fd) != 0) file.Failed = true;
    if (close(file.Fd) != 0) file.Failed = true;
    file.Fd = -1;
  }
  return file.Failed ? OutputStatus::CannotWrite : OutputStatus::Ok;
}

namespace {

// How a finished temporary file took its target's place.
enum class Placement {
  None,       // it could not
  Exchanged,  // swapped with an existing target, whose old content is now under the temporary name
  Renamed,    // renamed to a target that did not exist
};

// Puts the finished temporary file in place of its target. An existing
// target is swapped with it in one step: a plain rename over it would make
// the file system write the new file out at once, which costs more than the
// run's own writing, and the swap can be undone. Where the swap is not
// possible, a plain rename does it.
Placement PlaceOutput(const OutputFile& file) {
  if (renameat2(AT_FDCWD, file.TempName.c_str(), AT_FDCWD, file.Target.c_str(), RENAME_EXCHANGE) == 0) {
    return Placement::Exchanged;
  }
  return rename(file.TempName.c_str(), file.Target.c_str()) == 0 ? Placement::Renamed : Placement::None;
}

// Puts the target back as it was; the new content returns to the temporary name.
void UndoPlacement(const OutputFile& file, Placement placement) {
  if (placement == Placement::Exchanged) {
    renameat2(AT_FDCWD, file.TempName.c_str(), AT_FDCWD, file.Target.c_str(), RENAME_EXCHANGE);
  } else if (placement == Placement::Renamed) {
    rename(file.Target.c_str(), file.TempName.c_str());
  }
}

}  // namespace

const OutputFile* CommitOutputs(OutputFile* const* files, int count) {
  // No interruption while the files change places: either all land, or,
  // when one cannot, those already placed are put back as they were.
  const sigset_t previous = BlockInterruptions();
  std::vector<Placement> placed(static_cast<size_t>(count), Placement::None);
  const OutputFile* failed = nullptr;
  for (int i = 0; i < count; ++i) {
    if (files[i]->TempName.empty()) continue;  // written in place
    placed[i] = PlaceOutput(*files[i]);
    if (placed[i] == Placement::None) {
      failed = files[i];
      while (--i >= 0) UndoPlacement(*files[i], placed[i]);
      break;
    }
  }
  if (failed == nullptr) {
    for (int i = 0; i < count; ++i) {
      OutputFile& file = *files[i];
      if (placed[i] == Placement::Exchanged) unlink(file.TempName.c_str());  // the old content
      if (placed[i] != Placement::None) {
        UnregisterTemp(file.TempName);
        file.TempName.clear();
      }
    }
  }
  RestoreInterruptions(previous);
  return failed;
}

const OutputFile* SyncDirectories(OutputFile* const* files, int count) {
  std::vector<std::string> synced;
  for (int i = 0; i < count; ++i) {
    std::string directory = DirectoryOf(files[i]->Target);
    if (std::find(synced.begin(), synced.end(), directory) != synced.end()) continue;
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool ok = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    if (!ok) return files[i];
    synced.push_back(std::move(directory));
  }
  return nullptr;
}

void DiscardOutput(OutputFile& file) {
  if (file.Fd >= 0) {
    close(file.Fd);
    file.Fd = -1;
  }
  if (!file.TempName.empty()) {
    unlink(file.TempName.c_str());
    UnregisterTemp(file.TempName);
    file.TempName.clear();
  }
  file.Buffer.clear();
}

OutputFile::~OutputFile() { DiscardOutput(*this); }

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
  if (existsA && existsB) return infoA.st_dev == infoB.st_dev && infoA.st_ino == infoB.st_ino;
  if (existsA != existsB) return false;
  // Neither exists yet: the same final name in the same directory.
  auto finalName = [](const std::string& p) {
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
  };
  if (finalName(a) != finalName(b)) return false;
  struct stat dirA{};
  struct stat dirB{};
  if (stat(DirectoryOf(a).c_str(), &dirA) == 0 && stat(DirectoryOf(b).c_str(), &dirB) == 0) {
    return dirA.st_dev == dirB.st_dev && dirA.st_ino == dirB.st_ino;
  }
  return a == b;
}

}  // namespace tarnek
