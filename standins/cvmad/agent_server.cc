// The agent's requests and notifications. A request is measured from its frame header: its
// bytes, what its package decodes to, and what its reply may carry (a read of the policy at
// most its whole size); the service frame holds that much of its budget while it runs.
//
// Thread safety: see agent_server.h.
#include "standins/cvmad/agent_server.h"

#include <algorithm>

#include "platform/peer_identity.h"
#include "standins/agent_api/cvpmapi.h"

namespace cvmad {
namespace {

constexpr size_t kMaxPatterns = 1024;  // per connection
// What one kept pattern holds besides its text.
constexpr size_t kPatternOverhead = sizeof(std::string) + 16;
constexpr size_t kStatusReplySize = 64;  // a frame with a status and little else

// "1.2.*" matches every OID below 1.2; a pattern without the star matches itself.
bool Matches(const std::string& pattern, const std::string& oid) {
  if (pattern.size() >= 2 && pattern.ends_with(".*")) {
    size_t prefix = pattern.size() - 1;  // keeps the dot
    return oid.size() > prefix && oid.compare(0, prefix, pattern, 0, prefix) == 0;
  }
  return pattern == oid;
}

std::string StatusReply(uint32_t status) {
  std::string reply;
  wire::PutU32(&reply, status);
  return reply;
}

}  // namespace

AgentSession::~AgentSession() { server_->budget().Give(patterns_charged_); }

const Actor& AgentSession::actor() {
  // Looked up at the first change, on the connection's own thread: the account database
  // may be slow, and the accept loop must not wait for it.
  if (actor_.account.empty()) {
    actor_ = {platform::AccountName(peer().uid), static_cast<uint32_t>(peer().pid)};
  }
  return actor_;
}

AgentSession::Measure AgentSession::MeasureNext(std::string_view head, size_t* size, size_t* cost) {
  uint32_t length;
  if (head.size() < 4) return Measure::kNeedMore;
  if (!wire::DecodeFrameLength(head.data(), &length)) {
    server_->LogLimited("closing a connection that sent a bad frame length");
    return Measure::kMalformed;
  }
  if (head.size() < wire::kFrameHeaderSize) return Measure::kNeedMore;
  std::string_view id_bytes = head.substr(12, 4);
  uint32_t message_id = 0;
  wire::GetU32(&id_bytes, &message_id);
  *size = 4 + size_t{length};
  const size_t body = *size - wire::kFrameHeaderSize;
  const size_t policy = store_->bytes();
  switch (message_id) {
    case wire::kSetPolicy:
    case wire::kImport:
      *cost = body * kDecodedBytesPerByte + kStatusReplySize;
      break;
    case wire::kGetPolicy:
    case wire::kExport:
      *cost = policy + kStatusReplySize;
      break;
    case wire::kRestrict:  // the variable is decoded to change its flags
      *cost = body + policy * kDecodedBytesPerByte + kStatusReplySize;
      break;
    default:
      *cost = kStatusReplySize;
  }
  return Measure::kKnown;
}

bool AgentSession::Handle(std::string_view message, std::string* reply) {
  wire::Frame request;
  if (!wire::DecodeFrameRest(message.substr(4, wire::kFrameHeaderSize - 4), &request)) {
    server_->LogLimited("closing a connection that sent a malformed frame");
    return false;
  }
  if (request.kind != wire::FrameKind::kRequest) {
    server_->LogLimited("closing a connection that sent a frame other than a request");
    return false;
  }
  std::vector<std::string> changed;
  wire::Frame answer{wire::FrameKind::kReply, request.request_id, request.message_id,
                     Answer(request.message_id, message.substr(wire::kFrameHeaderSize), &changed)};
  if (!wire::EncodeFrame(answer, reply)) {  // an export larger than a frame can carry
    answer.body = StatusReply(wire::kStatusStorage);
    wire::EncodeFrame(answer, reply);
  }
  if (!changed.empty()) {
    server_->Notify(this, [&changed](service::Session& other) {
      return static_cast<AgentSession&>(other).NotificationsFor(changed);
    });
  }
  return true;
}

std::string AgentSession::NotificationsFor(const std::vector<std::string>& changed) {
  std::string bytes;
  std::lock_guard lock(patterns_mutex_);
  for (const std::string& oid : changed) {
    if (std::none_of(patterns_.begin(), patterns_.end(),
                     [&](const std::string& pattern) { return Matches(pattern, oid); }))
      continue;
    wire::Frame notification{wire::FrameKind::kNotification, 0, wire::kNotifyChanged, {}};
    wire::EncodePackedOid(oid, &notification.body);
    wire::EncodeFrame(notification, &bytes);
  }
  return bytes;
}

std::string AgentSession::Answer(uint32_t message_id, std::string_view in,
                                 std::vector<std::string>* changed) {
  std::string destination, oid, payload;
  if (!wire::DecodePackedOid(&in, &destination, false)) return StatusReply(wire::kStatusMalformed);
  if (destination != wire::kPolicyManagerOid) return StatusReply(wire::kStatusWrongDestination);
  auto whole_oid = [&](bool pattern) { return wire::DecodePackedOid(&in, &oid, pattern) && in.empty(); };
  uint32_t status = wire::kStatusMalformed;
  switch (message_id) {
    case wire::kGetPolicy:
      if (whole_oid(false)) status = store_->Get(oid, &payload);
      break;
    case wire::kSetPolicy:
    case wire::kImport: {
      std::vector<wire::Variable> variables;
      if (!wire::DecodeSetPackage(in, &variables)) break;
      std::vector<std::string> oids;
      for (const wire::Variable& variable : variables) oids.push_back(variable.oid);
      status = message_id == wire::kSetPolicy ? store_->Set(std::move(variables), actor())
                                              : store_->Import(std::move(variables), actor());
      if (status == wire::kStatusOk) *changed = std::move(oids);
      break;
    }
    case wire::kCheckIn:
      if (whole_oid(true)) {
        // Kept for as long as the connection lasts, so charged to the budget meanwhile.
        std::lock_guard lock(patterns_mutex_);
        status = wire::kStatusOk;
        if (std::find(patterns_.begin(), patterns_.end(), oid) != patterns_.end()) break;
        if (!server_->budget().TryTake(oid.size() + kPatternOverhead)) {
          status = wire::kStatusStorage;
          break;
        }
        patterns_charged_ += oid.size() + kPatternOverhead;
        if (patterns_.size() == kMaxPatterns) {
          const size_t dropped = patterns_.front().size() + kPatternOverhead;
          server_->budget().Give(dropped);
          patterns_charged_ -= dropped;
          patterns_.erase(patterns_.begin());
        }
        patterns_.push_back(oid);
      }
      break;
    case wire::kExport:
      if (in.empty()) status = store_->Export(&payload);
      break;
    case wire::kDelete:
      if (whole_oid(false)) status = store_->Delete(oid, actor());
      if (status == wire::kStatusOk) changed->push_back(oid);
      break;
    case wire::kRestrict: {
      uint32_t flags, count;
      if (!wire::DecodePackedOid(&in, &oid, false) || !wire::GetU32(&in, &flags) ||
          !wire::GetU32(&in, &count) || count != in.size() / 12 || in.size() % 12 != 0)
        break;
      std::vector<PolicyStore::CellFlags> cells(count);
      for (PolicyStore::CellFlags& cell : cells) {  // the length was checked above
        wire::GetU32(&in, &cell.row);
        wire::GetU32(&in, &cell.column);
        wire::GetU32(&in, &cell.flags);
      }
      status = store_->Restrict(oid, flags, cells, actor());
      if (status == wire::kStatusOk) changed->push_back(oid);
      break;
    }
    default:
      status = wire::kStatusUnknownMessage;
  }
  std::string reply = StatusReply(status);
  if (status == wire::kStatusOk) reply += payload;
  return reply;
}

}  // namespace cvmad
