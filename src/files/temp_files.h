// Temporary files that a fatal signal must not leave behind: a list of
// their names, with no bound on how many, and the handler that removes them
// before the signal ends the process as it would have.
//
// The signals: every one whose default action ends the process, but SIGKILL
// and SIGSTOP (which cannot be caught) and SIGPIPE and SIGXFSZ (ignored, so
// that a write to a FIFO without a reader or beyond the file size limit
// fails, with a message, instead). A signal the caller ignored stays
// ignored, one that already has a handler (a sanitizer's, a fuzzer's) keeps
// it. A thread that creates or removes a temporary file holds these signals
// off meanwhile (BlockFatalSignals), so that none falls between the file and
// its entry in the list; a signal that another thread takes (a fault in a
// worker) waits until it is done, and no thread begins such a step after it.
#pragma once

#include <signal.h>  // sigset_t

#include <string>

namespace tarnek {

// Installs the handler once per process; later calls do nothing.
void InstallTempFileCleanup();

// Holds off every fatal signal on this thread, and the handler on every
// other thread, until RestoreSignals; waits while another thread does the
// same, and for good once a handler has begun. Returns the mask to restore.
// Not nested.
sigset_t BlockFatalSignals();
void RestoreSignals(const sigset_t& previous);

// Notes `name` for removal on a fatal signal, until it is forgotten. Call
// with the fatal signals blocked (BlockFatalSignals), from one thread at a
// time.
void RememberTempFile(const std::string& name);
void ForgetTempFile(const std::string& name);

}  // namespace tarnek
