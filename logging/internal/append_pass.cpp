// AppendPass: the append path, one open and one gathered append at a time.
#include "logging/internal/append_pass.h"

#include <chrono>
#include <optional>

#include "logging/internal/file_sink.h"
#include "logging/internal/line_format.h"
#include "logging/internal/message_escape.h"
#include "logging/internal/process_state.h"
#include "logging/internal/torn_lines.h"

namespace velmor::common::internal {

AppendPass::AppendPass(FileSink& sink, ProcessState& state,
                       std::unique_lock<std::mutex>& lock) noexcept
    : sink_(sink),
      state_(state),
      name_(sink.backups_.active()),
      // Unopenable (no directory, a directory, a FIFO without a reader):
      // the lines are dropped.
      file_(name_.c_str(), sink.fileMode()),
      locks_(lock, file_, sink.lockMemories_) {}

bool AppendPass::run(const LogRecord* records, std::size_t count, Tally& tally) noexcept {
  if (!file_.isOpen()) {
    tally.error = file_.openError();
    return false;
  }
  // Streams are written so that no SIGPIPE can reach the process, which
  // needs to be known before the write. A file whose name meant a regular
  // file last time is taken to be one again (checked after the write); the
  // program's own descriptors are always looked at.
  stream_ = sink_.lastWasRegular_ && !file_.isBorrowed() ? false : file_.isStream();
  Step step = rotateEarlyIfDue(tally.rotated);
  if (step == Step::Go) step = lockAndLook(count > 1);
  if (step == Step::Stop) tally.error = stopError_;
  if (step != Step::Go) return step == Step::Retry;
  Gathered gathered = gather(records, count, startsAfterTornLine());
  if (gathered.lines == 0) {
    tally.error = platform::outOfMemoryError();  // No room to escape the first line.
    return false;
  }
  trimToCrossing(gathered);
  return finish(gathered, tally);
}

AppendPass::Step AppendPass::rotateEarlyIfDue(int& rotated) noexcept {
  // A file of an earlier period, or the one a run starts with, is rotated
  // before anything goes into it; looked at once per period and run.
  if (stream_ || !sink_.trigger_.lookBeforeAppend()) return Step::Go;
  platform::FileState found;
  if (!file_.state(found)) return stop(platform::lastError());
  if (!sink_.trigger_.dueBeforeAppend(found)) {
    sink_.trigger_.settle();
    return Step::Go;
  }
  // Rotated here or elsewhere: the name means a new file.
  return sink_.rotateIfStillDue(locks_, found, true, rotated) ? Step::Retry : Step::Go;
}

AppendPass::Step AppendPass::lockAndLook(bool batch) noexcept {
  OtherWriters& company = sink_.company_;
  company_ = company.mayHaveCompany();
  if (!stream_) lineByLineFrom_ = company.lineByLineFrom(sink_.policy_.maxFileBytes);
  // Several lines of one append are decided under the rotation lock (best
  // effort), so that another process's batch cannot slip in between the
  // size read here and the append, and push the crossing line further.
  // Single lines take it too once this sink saw the file in the last
  // stretch, so that no batch's lines pass the threshold while it is held
  // (each other process may slip in one line before it sees the stretch).
  // Taken before the append lock, never after it.
  if ((batch || company.lastSizeReached(lineByLineFrom_)) && !stream_) {
    triedRotationLock_ = true;
    rotationLocked_ = locks_.takeRotationLock();
    if (!file_.state(before_)) return stop(platform::lastError());
    haveBefore_ = true;
  }
  // Where appends take a lock (Windows), the line is dropped if it cannot
  // be had. Other processes' appends hold it for a moment each, but busy
  // writers together can hold it nearly all the time, and polling has no
  // queue: the first wait is long.
  const bool releasedBefore = locks_.processLockReleased();
  // Each new file is a chance to see that another writer compresses.
  if (!company.knowsAFile() && !stream_) sink_.backups_.lookForCompression();
  if (!locks_.takeAppendLock(!stream_ && company.marksAppends(sink_.backups_.compressed()))) {
    // Held off by a barrier: the file is a backup now, and the name a new
    // file.
    const bool looked = haveBefore_ || file_.state(before_);
    return looked && !stream_ && nameMovedOn() ? Step::Retry : stop(platform::lockBusyError());
  }
  const bool released = locks_.processLockReleased();
  // The file as it is before the append, needed only to end a cut line, to
  // look at the end of a file this sink has not written yet or that others
  // write too (one of them may have died in mid-line), to see where a batch
  // crosses the threshold, or after the mutex was let go: a single line to
  // a file this sink writes alone is checked after it is written, and
  // spares the query.
  if ((!haveBefore_ &&
       (released || !company.knowsAFile() || company.knownShared() || !state_.fragments.empty())) ||
      (released && !releasedBefore)) {
    if (!file_.state(before_)) return stop(platform::lastError());
    haveBefore_ = true;
  }
  // While this thread waited, another one (or process) may have rotated the
  // file, or begun to decide its crossing: the lines would land in a backup.
  if (released && !stream_ && nameMovedOn()) return Step::Retry;
  if (haveBefore_) company.noteFound(before_);
  return Step::Go;
}

bool AppendPass::nameMovedOn() const noexcept {
  platform::FileId named;
  return state_.deciding.has(name_) || !platform::entryId(name_.c_str(), named) ||
         named != before_.id;
}

bool AppendPass::startsAfterTornLine() noexcept {
  // A file new to this sink may end in a line that a writer killed in the
  // middle (or cut by a limit) left open, and so may one that others wrote
  // since, where a kill can have ended it; a cut this process made is on
  // record.
  const OtherWriters& company = sink_.company_;
  const bool look = !company.knows(before_.id) ||
                    (!company.leftAsItWas(before_) && platform::killCanEndAt(before_.size));
  bool torn = haveBefore_ && !stream_ && !file_.isBorrowed() && before_.regular && look &&
              endsInsideDeadLine(file_, name_.c_str(), sink_.tail_, before_);
  if (const Fragment* cut =
          state_.fragments.empty() ? nullptr : state_.fragments.find(before_.id)) {
    // A regular file must still end there; a stream's fragment is always
    // the last thing its reader got.
    torn = torn || stream_ || before_.size == cut->end;
    state_.fragments.forget(before_.id);
  }
  return torn;
}

bool AppendPass::overdueAndHeldOff() const noexcept {
  return haveBefore_ && triedRotationLock_ && !rotationLocked_ && before_.regular && !stream_ &&
         before_.size >= sink_.policy_.maxFileBytes;
}

AppendPass::Placement AppendPass::place(LineGather& lines, std::string_view message,
                                        bool first) noexcept {
  constexpr std::size_t kAround = kMaxLinePrefix + kJsonLineEnd.size();
  if (escape_ == Escape::None) {
    return lines.fits(message.size()) ? Placement{Placement::Plain, message.size()} : Placement{};
  }
  // Escaped in the stage if even the worst case fits; else by its exact
  // size, which costs a pass over the message.
  if (message.size() <= GatherStorage::kStageBytes &&
      lines.fitsCopied(kAround + message.size() * kMaxEscapeGrowth)) {
    return {Placement::Stage, message.size() * kMaxEscapeGrowth};
  }
  const std::size_t exact =
      escape_ == Escape::Json ? escapedJsonSize(message) : escapedControlsSize(message);
  if (lines.fitsCopied(kAround + exact)) return {Placement::Stage, exact};
  if (!first) return {};  // The next append starts with it.
  // Too long for the stage even alone: escaped into a buffer of its own.
  try {
    state_.gather.longLine.resize(exact);
  } catch (...) {
    return {Placement::Failed, 0};
  }
  return {Placement::Long, exact};
}

std::size_t AppendPass::addMessage(LineGather& lines, std::string_view message,
                                   Placement placement) noexcept {
  if (placement.where == Placement::Plain) {
    lines.add(message);
    return message.size();
  }
  char* const into =
      placement.where == Placement::Stage ? lines.slot() : &state_.gather.longLine[0];
  const std::size_t size =
      escape_ == Escape::Json ? escapeJson(message, into) : escapeControls(message, into);
  if (placement.where == Placement::Stage) {
    lines.use(size);
  } else {
    lines.add(std::string_view(into, size));  // Longer than a copy: referred to.
  }
  return size;
}

AppendPass::Gathered AppendPass::gather(const LogRecord* records, std::size_t count,
                                        bool torn) noexcept {
  LineGather lines(state_.gather);
  std::size_t* const lineEnds = state_.gather.lineEnds;
  Gathered out;
  out.lead = torn ? 1 : 0;
  lines.add(std::string_view("\n", out.lead));
  out.bytes = out.lead;
  const std::uint64_t maxFileBytes = sink_.policy_.maxFileBytes;
  const LineFormat& format = sink_.policy_.format;
  escape_ = format.json ? Escape::Json : format.escapeControls ? Escape::Controls : Escape::None;
  const std::string_view lineEnd = format.json ? kJsonLineEnd : std::string_view("\n");
  std::optional<int> syncFrom;
  if (sink_.policy_.syncFrom) syncFrom = static_cast<int>(*sink_.policy_.syncFrom);
  // A file past its threshold whose rotation lock a stranger holds: its
  // crossing is behind it, and the rotation is tried after the append, so
  // the lines go together rather than one append and one lock try each.
  const bool overdue = overdueAndHeldOff();
  // One reading of the clock for the lines of one append that carry no time
  // of their own: they arrived together. Lines of one level and stamp share
  // their prefix: formatted once, then copied.
  const Stamp appended = state_.stamps.stamp(std::chrono::system_clock::now());
  const LineTime appendedTime = state_.stamps.time();
  std::string_view previous;
  LogLevel previousLevel = LogLevel::Info;
  Stamp previousStamp;
  while (out.lines < count && out.lines < GatherStorage::kMaxLines) {
    const LogRecord& record = records[out.lines];
    const Placement placement = place(lines, record.message, out.lines == 0);
    if (placement.where == Placement::None || placement.where == Placement::Failed) break;
    if (out.lines > 0 && !overdue &&
        before_.size + out.bytes + kMaxLinePrefix + placement.bound + lineEnd.size() >=
            lineByLineFrom_) {
      break;
    }
    std::size_t length = previous.size();
    const Stamp stamp = record.time ? state_.stamps.stamp(*record.time) : appended;
    if (previous.empty() || record.level != previousLevel || stamp != previousStamp) {
      const LineTime& time = record.time ? state_.stamps.time() : appendedTime;
      length = format.json
                   ? formatJsonPrefix(lines.slot(), time, stamp.ms, record.level, format.time)
                   : formatLinePrefix(lines.slot(), time, stamp.ms, record.level, format.time);
      previous = {lines.slot(), length};
      previousLevel = record.level;
      previousStamp = stamp;
    } else {
      previous.copy(lines.slot(), length);
    }
    lines.use(length);
    const std::size_t message = addMessage(lines, record.message, placement);
    lines.add(lineEnd);
    out.bytes += length + message + lineEnd.size();
    lineEnds[out.lines++] = out.bytes;
    out.sync = out.sync || (syncFrom && static_cast<int>(record.level) >= *syncFrom);
    // The line that reaches the threshold ends the append: rotation comes
    // right after it, as after a single write.
    if (!stream_ && !overdue && before_.size + out.bytes >= maxFileBytes) break;
  }
  out.parts = lines.finish(out.pieces);
  return out;
}

void AppendPass::trimToCrossing(Gathered& gathered) noexcept {
  // Another process's lines may have come in since the size was read (a
  // single line takes no lock): while there may be company, the file is
  // looked at again just before the append, and the lines past the one that
  // now crosses wait for the next append.
  platform::FileState now;
  if (gathered.lines <= 1 || !company_ || stream_ || overdueAndHeldOff() || !file_.state(now) ||
      now.size == before_.size) {
    return;
  }
  const std::size_t* const lineEnds = state_.gather.lineEnds;
  std::size_t crossing = 0;
  while (crossing + 1 < gathered.lines &&
         now.size + lineEnds[crossing] < sink_.policy_.maxFileBytes) {
    ++crossing;
  }
  gathered.lines = crossing + 1;
  gathered.bytes = lineEnds[crossing];
  gathered.pieces = truncateGathered(state_.gather, gathered.pieces, gathered.bytes);
}

bool AppendPass::finish(const Gathered& gathered, Tally& tally) noexcept {
  const std::size_t written =
      file_.append(gathered.parts, gathered.pieces, stream_, &sink_.givenUp_);
  // The size comes from the file system, so bytes that other writers
  // appended count too. A query that fails says nothing of what was
  // written: the lines are counted by what the append took, and the size
  // is looked at again after the next line. Looked at before the append
  // lock goes, so that no barrier is raised in between (see lostWithFile).
  platform::FileState after;
  const bool known = file_.state(after);
  locks_.releaseAppendLock();  // Other processes' appends go on while this one looks.
  if (known && lostWithFile(after) && tally.rewrites < kMaxRewrites) {
    ++tally.rewrites;
    sink_.company_.forgetFile();
    return true;  // Written again, to the file now at the name.
  }
  if (known && written == gathered.bytes && gluedOn(gathered, after) &&
      tally.rewrites < kMaxRewrites) {
    ++tally.rewrites;
    sink_.company_.forgetFile();
    return true;  // Written again, on lines of their own after the torn one.
  }
  if (known) {
    sink_.lastWasRegular_ = after.regular;
    sink_.company_.noteAppend(haveBefore_ ? &before_ : nullptr, after, written);
  } else {
    sink_.company_.forgetFile();
  }
  const std::size_t whole = countWhole(gathered, written, known ? &after : nullptr);
  tally.done += whole;
  // On stable storage before the call returns, with every line before it;
  // and before a rotation moves the file on.
  if (gathered.sync && whole > 0 && !file_.syncData()) tally.error = platform::lastError();
  // A cut that left the file at the threshold is rotated like a whole line:
  // otherwise every later line would be cut the same way (a full disk frees
  // the oldest backup's space, a size limit a fresh file).
  if (known && after.regular && after.size >= sink_.policy_.maxFileBytes) {
    sink_.rotateIfStillDue(locks_, after, false, tally.rotated);
  }
  if (whole < gathered.lines) tally.error = file_.writeError();
  return whole == gathered.lines;
}

bool AppendPass::lostWithFile(const platform::FileState& after) const noexcept {
  // A writer that opened the file while it had the name may append after
  // it was rotated twice, compressed and removed (stalled in between): the
  // lines went nowhere. A shared file's appends are marked, so its
  // compression either waited for this one or was done before it began
  // (then nothing of it was copied). Some file systems report no links for
  // a file that has them: one still at the name is not lost.
  if (!after.removed || !after.regular || stream_) return false;
  platform::FileId named;
  return !platform::entryId(name_.c_str(), named) || named != after.id;
}

bool AppendPass::gluedOn(const Gathered& gathered, const platform::FileState& after) noexcept {
  // The end was looked at before the append (or is where this sink's last
  // append left the file it writes alone), but another writer's write may
  // have begun in between and been cut short when its process was killed
  // (the append waited behind it): then the lines continue its fragment.
  // Checked only when something came in between: the byte before the lines
  // is read.
  const OtherWriters& company = sink_.company_;
  if (stream_ || gathered.lead > 0 || !after.regular ||
      (!haveBefore_ && !company.knows(after.id))) {
    return false;
  }
  const std::uint64_t expected = haveBefore_ ? before_.size : company.lastSize();
  if (after.size == expected + gathered.bytes) return false;
  std::uint64_t end = 0;
  if (!file_.lastAppendEnd(end) || end < gathered.bytes) return false;
  const std::uint64_t start = end - gathered.bytes;
  if (start == expected || start == 0 || !platform::killCanEndAt(start)) return false;
  const int previous = sink_.tail_.byteAt(name_.c_str(), after.id, start - 1);
  return previous >= 0 && previous != '\n';
}

std::size_t AppendPass::countWhole(const Gathered& gathered, std::size_t written,
                                   const platform::FileState* after) noexcept {
  if (written >= gathered.bytes) return gathered.lines;
  // A line refused in part is dropped with the rest; what did reach the
  // file is remembered so that the next line starts on a line of its own.
  const std::size_t* const lineEnds = state_.gather.lineEnds;
  std::size_t whole = 0;
  while (whole < gathered.lines && lineEnds[whole] <= written) ++whole;
  const bool atLineEnd = written == gathered.lead || (whole > 0 && lineEnds[whole - 1] == written);
  if (written < gathered.lead) {
    state_.fragments.remember(Fragment{before_.id, before_.size});  // Still open.
  } else if (!atLineEnd && after != nullptr) {
    state_.fragments.remember(Fragment{after->id, after->size});
  }
  return whole;
}

}  // namespace velmor::common::internal
