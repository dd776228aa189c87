// The connection under a local server object: what each system's port provides to the
// shared client (local_server.cc). A connection is a socket's descriptor, or a pipe's
// handle on Windows.
//
// Thread safety: a connection is used by one thread at a time (the object's lock).
#ifndef PLATFORM_LOCAL_SERVER_TRANSPORT_H_
#define PLATFORM_LOCAL_SERVER_TRANSPORT_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::local_server {

using Clock = std::chrono::steady_clock;

// A server that takes longer than this to accept, to answer the connect message or to
// answer a call is taken for one that is not serving.
inline constexpr auto kConnectTimeout = std::chrono::seconds(5);
inline constexpr auto kCallTimeout = std::chrono::seconds(5);

// Connects to the server registered for `class_id` (normalised) and checks who serves it:
// a connection, or -1 with `result` set to the failure CreateLocalServerObject gives.
intptr_t Connect(const std::string& class_id, uint32_t* result);
// Writes all `size` bytes before `deadline`; false when the connection broke or is late.
bool SendAll(intptr_t connection, const char* data, size_t size, Clock::time_point deadline);
// Reads what has come, up to `size` bytes, waiting for the first until `deadline`: the
// count, or 0 when the connection ended, failed or stayed silent.
size_t ReceiveSome(intptr_t connection, char* data, size_t size, Clock::time_point deadline);
void Close(intptr_t connection);

}  // namespace platform::local_server

#endif  // PLATFORM_LOCAL_SERVER_TRANSPORT_H_
