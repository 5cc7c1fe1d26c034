// The list of temporary files is global: a signal handler can reach nothing
// else. It is a chain of entries that are never freed (an entry whose name
// is cleared is used again), so that a handler running at any moment, on any
// thread, only ever reads entries and names that exist. Names are copied
// into the entry's own buffer; an entry keeps its buffer for the next name
// that fits.
#include "files/temp_files.h"

#include <sys/syscall.h>  // SYS_gettid
#include <time.h>         // nanosleep
#include <unistd.h>       // unlink, syscall

#include <atomic>
#include <cstring>  // std::memcpy

namespace tarnek {

namespace {

struct TempEntry {
  std::atomic<const char*> Name{nullptr};  // the file to remove, or nullptr when the entry is free
  char* Buffer = nullptr;
  size_t Room = 0;                         // bytes of Buffer
  TempEntry* Next = nullptr;
};

// The chain's first entry; entries are added at the front.
std::atomic<TempEntry*> gTempFiles{nullptr};

// The thread (its kernel id) that holds the files as they are: from
// BlockFatalSignals to RestoreSignals, or, once a handler has taken them,
// that handler's thread for good; 0 when none does.
std::atomic<pid_t> gHolder{0};

// Waits until the files are this thread's. Returns at once where they are
// already: a fault raised by the thread that holds them.
void HoldFiles() {
  const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
  for (pid_t holder = 0; !gHolder.compare_exchange_strong(holder, self); holder = 0) {
    if (holder == self) return;
    const timespec pause{0, 100000};
    nanosleep(&pause, nullptr);
  }
}

const sigset_t& FatalSignals() {
  static const sigset_t fatal = [] {
    sigset_t set;
    sigfillset(&set);  // the real-time signals too, but those the C library keeps for itself
    for (int s : {SIGKILL, SIGSTOP, SIGPIPE, SIGXFSZ, SIGCHLD, SIGCONT, SIGTSTP, SIGTTIN, SIGTTOU, SIGURG, SIGWINCH}) {
      sigdelset(&set, s);
    }
    return set;
  }();
  return fatal;
}

// Removes the temporary files, then lets the signal end the process as it
// would have: the same exit status, a core file where it makes one. The
// files are held first, for good: a thread that is making a temporary file
// or committing the outputs finishes that step, and none begins another.
// Only async-signal-safe calls.
extern "C" void RemoveTempFilesAndDie(int signalNumber) {
  HoldFiles();
  for (TempEntry* entry = gTempFiles.load(); entry != nullptr; entry = entry->Next) {
    if (const char* name = entry->Name.load()) unlink(name);
  }
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);  // held until this handler returns, then it ends the process
}

}  // namespace

void InstallTempFileCleanup() {
  // Once per process: the handlers are the process's, as the list is.
  static const bool installed = [] {
    struct sigaction action{};
    action.sa_handler = RemoveTempFilesAndDie;
    action.sa_mask = FatalSignals();
    for (int s = 1; s < NSIG; ++s) {
      if (!sigismember(&FatalSignals(), s)) continue;
      struct sigaction previous{};
      if (sigaction(s, nullptr, &previous) != 0 || previous.sa_handler != SIG_DFL) continue;
      sigaction(s, &action, nullptr);
    }
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)installed;
}

sigset_t BlockFatalSignals() {
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &FatalSignals(), &previous);
  HoldFiles();
  return previous;
}

void RestoreSignals(const sigset_t& previous) {
  pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
  gHolder.compare_exchange_strong(self, 0);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void RememberTempFile(const std::string& name) {
  const size_t room = name.size() + 1;
  TempEntry* entry = gTempFiles.load();
  while (entry != nullptr && (entry->Name.load() != nullptr || entry->Room < room)) entry = entry->Next;
  if (entry == nullptr) {
    entry = new TempEntry;
    entry->Buffer = new char[room];
    entry->Room = room;
    entry->Next = gTempFiles.load();
    gTempFiles.store(entry);  // whole before it is reachable
  }
  std::memcpy(entry->Buffer, name.c_str(), room);
  entry->Name.store(entry->Buffer);
}

void ForgetTempFile(const std::string& name) {
  for (TempEntry* entry = gTempFiles.load(); entry != nullptr; entry = entry->Next) {
    const char* held = entry->Name.load();
    if (held != nullptr && name == held) entry->Name.store(nullptr);
  }
}

}  // namespace tarnek
