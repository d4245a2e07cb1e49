// How a FileLogSink bounds its file: when it rotates, and which backups it keeps.
#ifndef VELMOR_LOGGING_ROTATION_POLICY_H_
#define VELMOR_LOGGING_ROTATION_POLICY_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

#include "logging/log_sink.h"

namespace velmor::common {

// Size at which the active file is rotated, in bytes (5 MiB). A file of
// exactly this size is rotated.
inline constexpr std::uint64_t kRotateThresholdBytes = 5ull * 1024 * 1024;

// Number of numbered backups kept: "<file>.1" (newest) to "<file>.5" (oldest).
inline constexpr int kMaxBackups = 5;

// The most backups a RotationPolicy may ask for.
inline constexpr int kMaxBackupsLimit = 1000;

// When the active file is also rotated by the clock: at the first write
// after the start of a new local hour or day.
enum class RotationPeriod { None, Hourly, Daily };

// How a line shows its time, between the brackets that open it.
enum class TimeFormat {
  TimeOfDay,     // "09:05:03.007": local time of day (the default).
  LocalIso8601,  // "2026-12-09T09:05:03.007+01:00": local date and time, with
                 // the zone's offset at that instant (across DST changes).
  UtcIso8601,    // "2026-12-09T08:05:03.007Z".
};

// The layout of a line: "[" time "] [" LEVEL "] " message LF. The default is
// the sink's fixed layout, the message's bytes unchanged. The size bound
// counts the bytes written, escapes included. Give every sink of one file the
// same format: each writes its own lines in its own, so a file of mixed
// formats keeps every line but no single reader takes all of them.
struct LineFormat {
  TimeFormat time = TimeFormat::TimeOfDay;
  // Each line one JSON object (RFC 8259) and LF:
  //   {"time":"<time as above>","level":"INFO","message":"..."}
  // The message's `"` and `\`, and every control character (C0, DEL, C1),
  // are escaped;
  // valid UTF-8 is kept as it is, and each maximal subpart of an invalid
  // sequence becomes one U+FFFD (as the Unicode standard recommends, and
  // Python's decoder does). Any bytes give one line that a JSON parser takes.
  bool json = false;
  // Text lines (ignored with `json`, which always escapes): `\` as "\\", LF
  // as "\n", CR as "\r", every other byte below 0x20 except TAB, and 0x7F,
  // as "\xHH"; every other byte unchanged. A message then always makes
  // exactly one line, and can be recovered from it.
  bool escapeControls = false;
};

// How large the active file grows, when else it is rotated, and which
// backups are kept. The defaults are the sink's fixed behaviour: 5 MiB, five
// backups, nothing else. A sink checks its policy at construction and throws
// std::invalid_argument, naming the field, for a value outside its limits.
//
// Sinks with different policies may share a file: each follows its own, and
// nothing is lost either way, since renames never replace. Give every writer
// of one file the same policy, or the files end at mixed sizes and counts.
// The format of compressed backups (see RotationPolicy::compressBackups).
enum class CompressionCodec {
  Gzip,  // "<name>.<n>.gz", deflate through zlib: read by every tool.
  Zstd,  // "<name>.<n>.zst": about three times as fast, and smaller. Builds
         // without zstd (the MinGW one) refuse it.
};

struct RotationPolicy {
  // Rotate once the file holds this many bytes or more. From 1 (rotate after
  // every line) up; a value larger than any file the platform can hold
  // never rotates.
  std::uint64_t maxFileBytes = kRotateThresholdBytes;

  // Keep "<name>.1" (newest) to "<name>.<maxBackups>" (oldest); 1 to
  // kMaxBackupsLimit. Backup names are built once, at construction, so
  // rotation allocates nothing; but a rotation looks at every number and
  // renames every kept backup, under the process-wide lock: its cost grows
  // with the count (about 10 ms for 1000 on a typical Linux disk).
  int maxBackups = kMaxBackups;

  // A file last modified before the start of the current local hour
  // (Hourly) or day (Daily) holds lines of an earlier period, and the next
  // write rotates it before appending, so no line of the new period lands in
  // it. When several writers find it at once it is rotated once, and the
  // others append to the fresh file. Size rotation still applies. The check
  // costs one look at the file per period per sink, not one per line.
  RotationPeriod period = RotationPeriod::None;

  // One file per run: a sink's first write rotates first the non-empty file
  // that was at the name when the sink was made, if it was last written no
  // later than that second. Sinks made together (the processes of one
  // start) rotate it once; a file made or written since is theirs. An empty
  // or absent file is not rotated.
  bool rotateOnStart = false;

  // When a sink rotates, backups last modified longer ago than this are
  // deleted first, so that their numbers are free for the shift. 0: any age;
  // a negative age is refused. Deletes only regular files at numbers 1 to
  // maxBackups: never a directory, a link or a higher number.
  std::chrono::seconds maxBackupAge{0};

  // After a rotation, the oldest backups are deleted while all backups
  // together hold more bytes than this; "<name>.1" is always kept. 0: no
  // cap. Counts and deletes only regular files at numbers 1 to maxBackups.
  std::uint64_t maxTotalBytes = 0;

  // Windows; no effect elsewhere. When the active file cannot be renamed
  // because another program holds it open without sharing its deletion (a
  // viewer, a virus scanner), its content is copied into a new "<name>.1"
  // and the file emptied, under the lock that every sink's append takes, so
  // no line is lost and the file keeps its bound. Off: the rename is retried
  // after later writes, with one warning, and the file grows past the
  // threshold until the other program lets go.
  bool copyWhenPinned = false;

  // ".1" stays a plain file (a follower may still be reading it); from ".2"
  // on, backups are compressed: "<name>.<n>.gz" or "<name>.<n>.zst" (see
  // codec). Numbers keep their meaning: ".<n>" or ".<n>.gz" is the n-th
  // newest, a number is taken if either exists, maxBackups counts both, the
  // size bound is the uncompressed content's, and maxTotalBytes counts bytes
  // on disk. A compressed file keeps the plain file's permission bits and
  // modification time.
  // Compression runs beside the writers, in one thread per process (at low
  // priority, started by the first sink with compression): a rotation only
  // asks for it, so the writer that rotates never waits for it. Until the
  // compressor reaches it, a backup stays plain, within maxBackups like any
  // other; the total cap is applied once it is compressed. It holds the
  // rotation lock only to begin and to commit, so rotations go on meanwhile;
  // the compressed file takes the number its plain file holds by then. A
  // compressed file under its final name is complete and on disk before the
  // plain file goes, "<name>.<n>.gz.tmp" (".zst.tmp") exists only
  // meanwhile, and whatever a killed compressor left is finished or redone
  // by the next pass. A writer stalled since it opened the file as the
  // active one loses no line to its compression. The sink's destructor
  // finishes the compression its rotations asked for; a process that ends
  // without it (killed, or a sink never destroyed) leaves plain backups,
  // which the next rotation of the set, by any compressing writer, takes up.
  bool compressBackups = false;

  // With compressBackups, the format of the compressed backups. Whatever
  // its own codec, a sink treats ".gz" and ".zst" alike when it numbers,
  // shifts, retains and caps the set, so writers of one file may differ.
  CompressionCodec codec = CompressionCodec::Gzip;
  // The codec's level: gzip 1 (fastest) to 9 (smallest), zstd 1 to 22; 0
  // means the codec's default (gzip 6, zstd 3). Others are refused.
  int compressionLevel = 0;

  // Lines that must outlive a power cut or a kernel crash, not only a crash
  // of the program. A line at or above this level is on stable storage,
  // with every line before it in the file, when the write() or writeBatch()
  // that carries it returns (fdatasync, fsync where there is none,
  // FlushFileBuffers on Windows); LogLevel::Trace: every line. Lines below
  // it cost nothing more. Empty (the default): nothing is synced, and a line
  // is in the OS's cache when its call returns. The sync runs under the
  // process-wide lock, so other sinks of the process wait for it. A sync
  // that fails is reported by writeBatch's error (the lines are in the
  // file, and counted). Lines that rotations moved into backups before are
  // syncRotations' to cover. A disk that acknowledges a flush it has not
  // done defeats any of this.
  std::optional<LogLevel> syncFrom = std::nullopt;

  // A rotation that this sink makes puts the active file on stable storage
  // before it becomes ".1", and its directory after the renames and
  // deletions, before the call that rotated returns (the compressor syncs
  // it after a compression's rename, before the pass ends): after a power cut no backup is missing,
  // present under two numbers, or a name over a file of zeros. On Windows the renames are written
  // through (MOVEFILE_WRITE_THROUGH) and the file is flushed before it moves; a directory cannot be
  // flushed there.
  bool syncRotations = false;

  // Called once for each rotation that this sink made, with the name of the
  // new ".1" (the path as given, plus ".1"), in the thread that wrote, after
  // the sink let go of its locks: it may log, to this sink too. A rotation
  // caused by lines that a hook writes (to any sink) calls no hook, so a
  // hook can never call itself. With AsyncFileLogSink the hook runs in the
  // sink's own thread: its writes to that sink never wait for room (they
  // may pass maxQueuedBytes), and flush() there returns at once. An
  // exception it throws is caught; the first one prints one line on stderr.
  std::function<void(const std::filesystem::path& newest)> onRotated = nullptr;

  // POSIX permission bits for the files the sink creates (the active file
  // and, through it, every backup; a ".gz" keeps its plain file's bits, and
  // as root its owner and group), less the umask as open() applies it, e.g.
  // 0640 or 0600 for a log of secrets. Empty: 0666 less the umask. At most
  // 07777. A file that exists already keeps its bits. Ignored on Windows.
  std::optional<unsigned> fileMode = std::nullopt;

  // The layout of every line this sink writes (see LineFormat). An ISO stamp
  // costs a few bytes more per line, and its date and offset are worked out
  // once per second, not per line.
  LineFormat format = {};
};

}  // namespace velmor::common

#endif  // VELMOR_LOGGING_ROTATION_POLICY_H_
