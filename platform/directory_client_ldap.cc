// The directory port's calls into OpenLDAP's client library (libldap): connecting and
// binding, one search with its paged results control, reading its messages, and the
// library's own parsing of DNs and attribute type definitions. The directory itself is
// directory_client_common.cc.
//
// Thread safety: a link is used under its connection's lock; the rest keeps no state.
#include <ldap.h>
#include <ldap_schema.h>
#include <openldap.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>

#include "platform/directory_client.h"
#include "platform/directory_connection.h"
#include "platform/errors.h"

namespace platform {
namespace directory {
namespace {

// LDAP results as the Windows errors that stand for them.
uint32_t ResultOfLdap(int rc) {
  switch (rc) {
    case LDAP_SUCCESS: return 0;
    case LDAP_OPERATIONS_ERROR: return ResultFromError(8224);  // ERROR_DS_OPERATIONS_ERROR
    case LDAP_PROTOCOL_ERROR: return ResultFromError(8225);
    case LDAP_TIMELIMIT_EXCEEDED: return ResultFromError(8226);
    case LDAP_SIZELIMIT_EXCEEDED: return ResultFromError(8227);
    case LDAP_AUTH_METHOD_NOT_SUPPORTED: return ResultFromError(8231);
    case LDAP_STRONG_AUTH_REQUIRED: return ResultFromError(8232);
    case LDAP_NO_SUCH_ATTRIBUTE: return ResultFromError(8202);
    case LDAP_INAPPROPRIATE_MATCHING: return ResultFromError(8238);
    case LDAP_NO_SUCH_OBJECT: return kEDsNoSuchObject;
    case LDAP_INVALID_DN_SYNTAX: return ResultFromError(8242);
    case LDAP_INAPPROPRIATE_AUTH:
    case LDAP_INVALID_CREDENTIALS: return ResultFromError(1326);  // ERROR_LOGON_FAILURE
    case LDAP_INSUFFICIENT_ACCESS: return ResultFromError(8344);
    case LDAP_BUSY: return ResultFromError(8206);
    case LDAP_UNAVAILABLE: return ResultFromError(8207);
    case LDAP_UNWILLING_TO_PERFORM: return ResultFromError(8245);
    case LDAP_SERVER_DOWN:
    case LDAP_CONNECT_ERROR: return kEDsServerDown;
    case LDAP_TIMEOUT: return ResultFromError(kErrorTimeout);
    case LDAP_FILTER_ERROR: return kEAdsInvalidFilter;
    case LDAP_NO_MEMORY: return kEOutOfMemory;
    case LDAP_PARAM_ERROR: return kEInvalidArg;
    default: return ResultFromError(8250);  // ERROR_DS_SERVER_DOWN family
  }
}

// Keeps a server that went away from ending the process with SIGPIPE: the signal is blocked
// in this thread while libldap writes, and one raised meanwhile is taken back.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    already_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe, &old_);
  }
  ~SigpipeGuard() {
    if (!already_pending_) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        const timespec zero{0, 0};
        while (sigtimedwait(&pipe, nullptr, &zero) == -1 && errno == EINTR) {
        }
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t old_;
  bool already_pending_ = false;
};

// Version 3, no referrals followed (a referral names a server), and libldap's own bounds
// beside the port's: connecting, its synchronous calls (the bind), and the largest message
// it reads into memory before it is looked at.
bool Configure(LDAP* ld) {
  const int version = LDAP_VERSION3;
  ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  const timeval network_timeout{kDirectoryConnectSeconds, 0};
  ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &network_timeout);
  const timeval operation_timeout{kDirectoryOperationSeconds, 0};
  ldap_set_option(ld, LDAP_OPT_TIMEOUT, &operation_timeout);
  Sockbuf* socket = nullptr;
  ber_len_t largest = kDirectoryMaxAnswerBytes;
  return ldap_get_option(ld, LDAP_OPT_SOCKBUF, &socket) == LDAP_OPT_SUCCESS && socket != nullptr &&
         ber_sockbuf_ctrl(socket, LBER_SB_OPT_SET_MAX_INCOMING, &largest) == 1;
}

class LdapLink final : public DirectoryLink {
 public:
  explicit LdapLink(LDAP* ld) : ld_(ld) {}
  ~LdapLink() override {
    SigpipeGuard guard;
    ldap_unbind_ext_s(ld_, nullptr, nullptr);
  }
  LdapLink(const LdapLink&) = delete;
  LdapLink& operator=(const LdapLink&) = delete;

  void Enter() override { no_sigpipe_.emplace(); }
  void Leave() override { no_sigpipe_.reset(); }

  // SASL EXTERNAL bind: the server learns this process's account from the socket. The
  // server answers the first request with an empty challenge; an empty response (no other
  // identity asked for) completes it.
  uint32_t BindExternal() {
    SigpipeGuard no_sigpipe;
    berval empty{0, const_cast<char*>("")};
    int rc = LDAP_SASL_BIND_IN_PROGRESS;
    for (int step = 0; step < 4 && rc == LDAP_SASL_BIND_IN_PROGRESS; ++step) {
      berval* challenge = nullptr;
      CountOperation();
      rc = ldap_sasl_bind_s(ld_, nullptr, "EXTERNAL", step == 0 ? nullptr : &empty, nullptr,
                            nullptr, &challenge);
      if (challenge != nullptr) ber_bvfree(challenge);
    }
    return ResultOfLdap(rc == LDAP_SASL_BIND_IN_PROGRESS ? LDAP_PROTOCOL_ERROR : rc);
  }

  uint32_t Search(const std::string& base, int scope, const std::string& filter,
                  const std::vector<std::string>* attributes, const std::string* cookie,
                  int page_size, int* message_id) override {
    std::vector<char*> names;
    if (attributes != nullptr) {
      for (const std::string& name : *attributes) names.push_back(const_cast<char*>(name.c_str()));
      names.push_back(nullptr);
    }
    LDAPControl* page = nullptr;
    if (cookie != nullptr) {
      berval state{cookie->size(), cookie->empty() ? nullptr : const_cast<char*>(cookie->data())};
      if (ldap_create_page_control(ld_, page_size, &state, 0, &page) != LDAP_SUCCESS) {
        return kEOutOfMemory;
      }
    }
    LDAPControl* controls[] = {page, nullptr};
    timeval timeout{kDirectoryOperationSeconds, 0};
    CountOperation();
    const int rc = ldap_search_ext(ld_, base.c_str(), scope, filter.c_str(),
                                   attributes != nullptr ? names.data() : nullptr, 0,
                                   cookie != nullptr ? controls : nullptr, nullptr, &timeout, 0,
                                   message_id);
    if (page != nullptr) ldap_control_free(page);
    return rc == LDAP_SUCCESS ? 0 : ResultOfLdap(rc);
  }

  void Next(int message_id, int64_t wait_nanoseconds, std::string* cookie,
            Message* message) override {
    timeval timeout{static_cast<time_t>(wait_nanoseconds / 1000000000LL),
                    static_cast<suseconds_t>(wait_nanoseconds % 1000000000LL / 1000)};
    LDAPMessage* got = nullptr;
    const int type = ldap_result(ld_, message_id, LDAP_MSG_ONE, &timeout, &got);
    if (type == 0) return;
    if (type < 0) {
      int rc = LDAP_SERVER_DOWN;
      ldap_get_option(ld_, LDAP_OPT_RESULT_CODE, &rc);
      message->kind = Message::kFailed;
      message->result = ResultOfLdap(rc == LDAP_SUCCESS ? LDAP_SERVER_DOWN : rc);
      return;
    }
    switch (ldap_msgtype(got)) {
      case LDAP_RES_SEARCH_RESULT:
        message->kind = Message::kResult;
        message->result = Finish(got, cookie);
        return;
      case LDAP_RES_SEARCH_ENTRY:
        message->kind = Message::kEntry;
        message->entry = CopyEntry(got);
        break;
      default:
        message->kind = Message::kOther;
        break;
    }
    ldap_msgfree(got);
  }

  void Abandon(int message_id) override { ldap_abandon_ext(ld_, message_id, nullptr, nullptr); }

 private:
  // Copies the DN and attributes of a search entry.
  Entry CopyEntry(LDAPMessage* message) {
    Entry entry;
    uint64_t size = 0;
    BerElement* ber = nullptr;
    berval dn{0, nullptr};
    if (ldap_get_dn_ber(ld_, message, &ber, &dn) != LDAP_SUCCESS) {
      if (ber != nullptr) ber_free(ber, 0);
      return entry;
    }
    entry.dn.assign(dn.bv_val, dn.bv_len);
    size += dn.bv_len;
    berval name{0, nullptr};
    BerVarray values = nullptr;
    while (ldap_get_attribute_ber(ld_, message, ber, &name, &values) == LDAP_SUCCESS &&
           name.bv_val != nullptr) {
      std::string lower(name.bv_val, name.bv_len);
      for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
      size += lower.size();
      std::vector<std::string> copied;
      size_t count = 0;
      for (BerVarray v = values; v != nullptr && v->bv_val != nullptr; ++v) ++count;
      copied.reserve(count);
      for (BerVarray v = values; v != nullptr && v->bv_val != nullptr; ++v) {
        copied.emplace_back(v->bv_val, v->bv_len);
        size += v->bv_len + sizeof(std::string);
      }
      if (values != nullptr) ber_memfree(values);
      values = nullptr;
      entry.attributes.emplace_back(std::move(lower), std::move(copied));
    }
    ber_free(ber, 0);
    entry.size = size;
    return entry;
  }

  // The search result: its code, and the paged results state into `cookie` when asked.
  uint32_t Finish(LDAPMessage* done, std::string* cookie) {
    int server_rc = LDAP_OTHER;
    LDAPControl** returned = nullptr;
    ldap_parse_result(ld_, done, &server_rc, nullptr, nullptr, nullptr, &returned, 1);
    if (cookie != nullptr) {
      cookie->clear();
      LDAPControl* response = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, returned, nullptr);
      // A control without a value would reach an assertion of liblber's, ending the process.
      if (response != nullptr && response->ldctl_value.bv_val != nullptr &&
          response->ldctl_value.bv_len > 0) {
        ber_int_t estimate = 0;
        berval next{0, nullptr};
        if (ldap_parse_pageresponse_control(ld_, response, &estimate, &next) == LDAP_SUCCESS) {
          if (next.bv_len > 0) cookie->assign(next.bv_val, next.bv_len);
          ber_memfree(next.bv_val);
        }
      }
    }
    if (returned != nullptr) ldap_controls_free(returned);
    return ResultOfLdap(server_rc);
  }

  LDAP* ld_;
  std::optional<SigpipeGuard> no_sigpipe_;  // while the connection's lock is held
};

}  // namespace

uint32_t OpenLink(const std::string& server_uri, bool secure, std::unique_ptr<DirectoryLink>* out) {
  LDAP* ld = nullptr;
  int rc = ldap_initialize(&ld, server_uri.empty() ? nullptr : server_uri.c_str());
  if (rc != LDAP_SUCCESS || ld == nullptr) return ResultOfLdap(rc == LDAP_SUCCESS ? LDAP_PARAM_ERROR : rc);
  if (!Configure(ld)) {
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return kEFail;
  }
  auto link = std::make_unique<LdapLink>(ld);
  char* uri = nullptr;
  const bool over_socket = ldap_get_option(ld, LDAP_OPT_URI, &uri) == LDAP_OPT_SUCCESS &&
                           uri != nullptr && StartsWithFolded(uri, "ldapi://");
  if (uri != nullptr) ldap_memfree(uri);
  if (secure && over_socket) {
    const uint32_t hr = link->BindExternal();
    if (hr != 0) return hr;
  }
  *out = std::move(link);
  return 0;
}

bool ParseDn(const std::string& text, std::string* normal) {
  LDAPDN parsed = nullptr;
  if (ldap_str2dn(text.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS) return false;
  normal->clear();
  for (int r = 0; parsed != nullptr && parsed[r] != nullptr; ++r) {
    if (r > 0) normal->push_back(',');
    for (int a = 0; parsed[r][a] != nullptr; ++a) {
      const LDAPAVA* ava = parsed[r][a];
      if (a > 0) normal->push_back('+');
      *normal += Lower(std::string_view(ava->la_attr.bv_val, ava->la_attr.bv_len));
      normal->push_back('=');
      AppendCanonicalValue(std::string_view(ava->la_value.bv_val, ava->la_value.bv_len), normal);
    }
  }
  ldap_dnfree(parsed);
  return true;
}

bool ParseAttributeType(const std::string& text, AttributeType* type) {
  int code = 0;
  const char* error = nullptr;
  LDAPAttributeType* parsed =
      ldap_str2attributetype(text.c_str(), &code, &error, LDAP_SCHEMA_ALLOW_ALL);
  if (parsed == nullptr) return false;
  type->oid = parsed->at_oid != nullptr ? parsed->at_oid : "";
  if (parsed->at_names != nullptr) {
    for (char** n = parsed->at_names; *n != nullptr; ++n) type->names.emplace_back(*n);
  }
  type->syntax = parsed->at_syntax_oid != nullptr ? parsed->at_syntax_oid : "";
  type->sup = parsed->at_sup_oid != nullptr ? parsed->at_sup_oid : "";
  ldap_attributetype_free(parsed);
  return true;
}

}  // namespace directory

// LDAPURI from the environment when set (even with LDAPNOINIT, which keeps libldap from
// reading it), else libldap's default from ldap.conf.
std::string ConfiguredDirectoryServer() {
  std::string uri = directory::DefaultServer();
  if (uri.empty() && getenv("LDAPNOINIT") == nullptr) {
    char* configured = nullptr;
    if (ldap_get_option(nullptr, LDAP_OPT_URI, &configured) == LDAP_OPT_SUCCESS &&
        configured != nullptr) {
      uri = configured;
      ldap_memfree(configured);
    }
  }
  // libldap writes its own default (no URI configured anywhere) as a URL with a scope.
  if (uri.ends_with("/??base")) uri.resize(uri.size() - 7);
  return uri;
}

uint32_t ReadAnswerForTesting(const uint8_t* bytes, size_t size) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return kEFail;
  // The whole answer waits in the socket before the search is sent, and then its end: no
  // read waits. The request itself is never read.
  const int buffer = 1 << 20;
  setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  size = std::min<size_t>(size, 256 * 1024);
  for (size_t sent = 0; sent < size;) {
    const ssize_t n = send(pair[1], bytes + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  shutdown(pair[1], SHUT_WR);
  LDAP* ld = nullptr;
  if (ldap_init_fd(pair[0], LDAP_PROTO_TCP, nullptr, &ld) != LDAP_SUCCESS || ld == nullptr) {
    close(pair[0]);
    close(pair[1]);
    return kEFail;
  }
  uint32_t hr = kEFail;
  if (directory::Configure(ld)) {
    hr = directory::ReadWholeAnswer(std::make_unique<directory::LdapLink>(ld));
  } else {
    ldap_unbind_ext_s(ld, nullptr, nullptr);
  }
  close(pair[1]);
  return hr;
}

}  // namespace platform
