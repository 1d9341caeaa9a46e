#include "receiver/output_buffer.h"

#include <string>
#include <string_view>

#include "plinth/core/clock.h"
#include "plinth/platform/platform.h"
#include "plinth/text/text_writer.h"
#include "receiver/json_text.h"

namespace farspeak {
namespace {

constexpr std::string_view continuation = "\xE2\x80\xA6";  // U+2026, as UTF-8
constexpr std::string_view colourReset = "\x1b[0m";

}  // namespace

OutputBuffer::OutputBuffer(const OutputFormat& format, plinth::EventLoop* loop)
    : format_(format), loop_(loop) {
  plinth::consoleDestination().heldOutput = this;
}

OutputBuffer::~OutputBuffer() {
  if (plinth::consoleDestination().heldOutput == this)
    plinth::consoleDestination().heldOutput = nullptr;
  writeHeld();
  if (loop_ != nullptr)
    loop_->cancel(*this);
}

ByteBuffer& OutputBuffer::startPiece(const ClientRecord& client) {
  starting();
  if (openLine_ != nullptr && (openLine_ != &client || format_.prefixed()))
    bytes_.append('\n');
  if (format_.timestamps) {
    bytes_.append(localTime());
  }
  bytes_.append(client.tag);
  if (format_.prefixed() && client.lineOpen)
    bytes_.append(continuation);
  return bytes_;
}

void OutputBuffer::endPiece(ClientRecord& client, bool coloured) {
  if (coloured) {
    // A colour sequence ends with 'm' before the line end, so a CR before the LF is the piece's.
    std::string_view lineEnd;
    if (bytes_.end()[-1] == '\n')
      lineEnd = bytes_.end()[-2] == '\r' ? "\r\n" : "\n";
    bytes_.truncate(bytes_.size() - lineEnd.size());
    bytes_.append(colourReset);
    bytes_.append(lineEnd);
  }
  client.lineOpen = bytes_.end()[-1] != '\n';
  openLine_ = client.lineOpen ? &client : nullptr;
  added();
}

void OutputBuffer::writeStraight(ClientRecord& client, std::span<const unsigned char> run,
                                 ReceiveBlock& block) {
  ByteBuffer& out = startPiece(client);
  const ReceiveBlock::Pin pin = block.pin();
  if (pin == nullptr) {
    out.append(run.data(), run.size());
  } else {
    straight_.push_back({bytes_.size(), run, pin});
    straightBytes_ += run.size();
    pinnedMemory_ += ReceiveBlock::pinnedMemory(pin);
  }
  client.lineOpen = false;  // whole lines
  openLine_ = nullptr;
  added();
}

void OutputBuffer::added() {
  if (size() >= outputWriteSize)
    writeHeld();
}

std::string_view OutputBuffer::localTime() {
  const double now = loop_ != nullptr ? loop_->now() : -1.0;
  if (timeLength_ == 0 || now != timeReadAt_) {
    timeLength_ = writeTime(time_, format_.json ? TimeForm::rfc3339 : TimeForm::timeOfDay);
    timeReadAt_ = now;
  }
  return {time_, timeLength_};
}

void OutputBuffer::startRecord(std::string_view endpoint, std::string_view event) {
  starting();
  bytes_.append("{\"time\":\"");
  bytes_.append(localTime());
  if (!endpoint.empty()) {
    bytes_.append("\",\"client\":\"");
    bytes_.append(endpoint);
  }
  bytes_.append("\",\"event\":\"");
  bytes_.append(event);
  bytes_.append('"');
}

void OutputBuffer::endRecord() {
  bytes_.append("}\n");
  added();
}

void OutputBuffer::writeText(ClientRecord& client, std::string_view bytes) {
  const bool lineEnds = !bytes.empty() && bytes.back() == '\n';
  if (lineEnds)
    bytes.remove_suffix(1);
  startRecord(client.endpoint, lineEnds ? "line" : "piece");
  if (client.lineOpen)
    bytes_.append(",\"continues\":true");
  bytes_.append(",\"text\":\"");
  const bool replaced = appendJsonText(bytes_, bytes);
  bytes_.append('"');
  if (replaced) {
    bytes_.append(",\"raw\":\"");
    appendBase64(bytes_, bytes);
    bytes_.append('"');
  }
  client.lineOpen = !lineEnds;
  endRecord();
}

void OutputBuffer::writeEvent(const ClientRecord& client, std::string_view event) {
  startRecord(client.endpoint, event);
  endRecord();
}

void OutputBuffer::writeRefused(std::string_view endpoint) {
  startRecord(endpoint, "refused");
  endRecord();
}

void OutputBuffer::writeRefusedSum(std::uint64_t count, std::uint64_t addresses) {
  startRecord("", "refused");
  bytes_.append(",\"count\":");
  bytes_.append(std::to_string(count));
  bytes_.append(",\"addresses\":");
  bytes_.append(std::to_string(addresses));
  endRecord();
}

void OutputBuffer::endLine(const ClientRecord& client) {
  if (openLine_ == &client)
    keepNewLine();
}

void OutputBuffer::endOpenLine() {
  if (openLine_ != nullptr)
    keepNewLine();
}

void OutputBuffer::keepNewLine() {
  starting();
  bytes_.append('\n');
  openLine_ = nullptr;
  added();
}

void OutputBuffer::starting() {
  if (size() == 0 && loop_ != nullptr)
    loop_->schedule(*this, loop_->now() + longestOutputDelay);
}

void OutputBuffer::writeHeld() {
  if (size() == 0)
    return;
  ranges_.clear();
  std::size_t copied = 0;
  for (const Straight& straight : straight_) {
    ranges_.push_back({bytes_.begin() + copied, straight.offset - copied});
    ranges_.push_back({straight.run.data(), straight.run.size()});
    copied = straight.offset;
  }
  ranges_.push_back({bytes_.begin() + copied, bytes_.size() - copied});
  // After a failure nothing more is written, but what it holds still goes.
  const bool written =
      !failed_ && plinth::platform::services.writeStandardOutput(ranges_.data(), ranges_.size());
  for (const Straight& straight : straight_)
    ReceiveBlock::unpin(straight.pin);
  straight_.clear();
  straightBytes_ = pinnedMemory_ = 0;
  bytes_.clear();
  if (loop_ != nullptr) {
    loop_->cancel(*this);
    loop_->updateTime();  // the write may have waited on standard output
  }
  if (!written && !failed_) {
    failed_ = true;  // first: the report goes to the console, which would write this out again
    reportOutputFailure();
    if (loop_ != nullptr)
      loop_->stop();
  }
}

void reportOutputFailure() {
  plinth::console()
      .writeText("farspeak: cannot write to standard output (")
      .writeText(plinth::platform::services.standardOutputFailure().c_str())
      .writeText(")\n");
}

}  // namespace farspeak
