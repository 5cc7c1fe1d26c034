// Output files that are all or nothing.
//
// A regular (or not yet existing) target is written to a temporary file in
// the same directory and renamed into place by CommitOutputs only when every
// output is complete, flushed and closed; until then any earlier file of that
// name stays exactly as it was. Written in place instead, and so not all or
// nothing, are a target that exists and is not a regular file (a device, a
// FIFO, another process's pipe named through /proc) and a descriptor of this
// process named through /proc (/dev/stdout, /dev/stderr, /dev/fd/N,
// /proc/self/fd/N), whatever file it is open on: its bytes go through that
// descriptor, after whatever was written to it before (the process's stdio
// buffers are flushed first), and a regular file behind it keeps its content
// before them. Every write, the final flush and the close are checked. If a signal ends the process (any that can be
// caught and whose default action is to end it, unless the caller ignored it
// or handles it), its temporary files are removed first (temp_files.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnek {

struct OutputFile {
  std::string Name;      // the name the user sees and the file finally gets
  std::string Target;    // where it lands: Name, or the file a symbolic link points to
  std::string TempName;  // the temporary file, empty when written in place
  bool InPlace = false;  // written in place: a device, a FIFO, an open descriptor
  int Fd = -1;
  uint64_t FailedAt = 0; // 0 while every write has succeeded; otherwise the file is incomplete, and
                         // this tells when its first write failed (the monotonic clock, in ns)
  std::string Buffer;    // bytes not yet written

  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();  // discards a file that was not committed
};

enum class OutputStatus { Ok, CannotCreate, CannotWrite };

// Creates the file (or its temporary stand-in) for `name`, with the mode
// that fopen would give it: an earlier file's own, or 0666 less the umask.
// On a file system that keeps no permissions (FAT through FUSE: fchmod
// fails with ENOSYS, EOPNOTSUPP or EPERM) the file has the one it gives.
// Returns CannotCreate when it cannot be created, for instance when the
// directory is missing, `name` is a directory, or it names a descriptor
// that is open for reading only (/dev/stdin) or on a directory.
OutputStatus CreateOutput(OutputFile& file, const std::string& name);

// Appends bytes; they are written out in large blocks. A failure is
// remembered in `FailedAt` and reported by FinishOutput.
void WriteOutput(OutputFile& file, std::string_view bytes);

// Writes what is buffered and closes the file; with `sync`, a file that will
// be renamed into place, or a regular file written in place, is first
// written to stable storage (fsync). Returns
// CannotWrite when any write, the flush, the sync or the close failed.
OutputStatus FinishOutput(OutputFile& file, bool sync = false);

// Finishes every file, in the order given. Returns the file whose write (or
// flush, sync or close) failed first in time, which need not be the first to
// close: a full disk fails every later write too. nullptr when none failed.
const OutputFile* FinishOutputs(OutputFile* const* files, int count, bool sync);

// Puts the finished temporary files in place of their targets, in the order
// given, as one step to every other run: it first waits for an exclusive
// flock on each target directory, and under it checks again that every
// target is a regular file or absent. An earlier file is renamed over (as
// safe against a power cut as a plain rename), its old content kept under a
// second name; where the file system has no hard links, the two swap names
// (RENAME_EXCHANGE); where it has neither (exFAT, FAT), the earlier file is
// renamed aside, beside the temporary file, and the new one takes the name.
// If a target has become something else, or one cannot take its place,
// those already placed are put back and that file is returned; otherwise
// nullptr. Old contents are removed only when all have landed.
const OutputFile* CommitOutputs(OutputFile* const* files, int count);

// Makes the names given by CommitOutputs durable: writes each target's
// directory to stable storage (fsync), but for files written in place,
// which took no new name. Returns the first file whose directory could not
// be synced, or nullptr.
const OutputFile* SyncDirectories(OutputFile* const* files, int count);

// The first file whose directory SyncDirectories could not open (one that
// may be written but not read), or nullptr: asked before CommitOutputs, so
// that such a run fails with no file placed.
const OutputFile* UnopenableDirectory(OutputFile* const* files, int count);

// Closes the file if open and removes its temporary file; the target is
// left as it was. Safe to call more than once.
void DiscardOutput(OutputFile& file);

// True when `a` and `b` name the same file: the same device and inode when
// both exist; otherwise, or where a file system numbers one file differently
// by the name it is looked up with (FUSE), the same directory and the same
// final name, or two final names that the directory takes for one (letter
// case, Unicode normalisation). The directory is asked that by a probe (a
// hidden subdirectory made and removed at once) only for names that differ
// in ASCII letter case alone or hold other characters than ASCII; two
// identical or otherwise different names cost no probe.
bool SameFile(const std::string& a, const std::string& b);

// True when outputs may share the file that `name` leads to: a character
// device, a FIFO or a socket (/dev/null, a pipe through /dev/stdout), which
// takes each output after the last. Never a regular file or a block device:
// two opens of it would each write from its start.
bool TakesOutputsInTurn(const std::string& name);

}  // namespace tarnek
