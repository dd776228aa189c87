// The directory port's calls into Windows' own LDAP client (wldap32): connecting, one search
// with its paged results control, reading its messages, and the parsing of DNs and
// attribute type definitions that wldap32 does not offer. The directory itself is
// directory_client_common.cc. Text crosses wldap32 as UTF-16 (its W calls); values cross as
// the bytes the server sent.
//
// Differences from the libldap port, where Windows' client offers less: there is no
// ldapi:// (a path to such a server answers kEDsServerDown), so kAdsSecureAuthentication
// leaves the operations anonymous as it does over TCP elsewhere; wldap32 reads each message
// whole before handing it over and takes no bound on its size, so an entry is counted
// against kDirectoryMaxAnswerBytes once it has come, not while it comes.
//
// Thread safety: a link is used under its connection's lock; the rest keeps no state.
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before windows.h, which win32_windows.h includes lean.
#include "platform/win32_windows.h"
#include <winldap.h>
// winber.h needs winldap.h's types first.
#include <winber.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "platform/directory_client.h"
#include "platform/directory_connection.h"
#include "platform/errors.h"
#include "platform/errors_windows.h"
#include "platform/unicode.h"

namespace platform {
namespace directory {
namespace {

// LDAP results as the Windows errors that stand for them.
uint32_t ResultOfLdap(ULONG rc) {
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
    case LDAP_INSUFFICIENT_RIGHTS: return ResultFromError(8344);
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

std::string Narrow(const wchar_t* text) {
  return text == nullptr ? std::string() : NarrowText(text);
}

// Version 3 and no referrals followed (a referral names a server).
bool Configure(LDAP* ld) {
  const ULONG version = LDAP_VERSION3;
  return ldap_set_optionW(ld, LDAP_OPT_PROTOCOL_VERSION, &version) == LDAP_SUCCESS &&
         ldap_set_optionW(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) == LDAP_SUCCESS;
}

// The host, port and whether TLS is asked for, of an "ldap://host[:port][/]" or "ldaps://"
// URI; false for any other (an ldapi:// socket has no Windows counterpart). An empty URI is
// the domain's default server.
bool ParseServerUri(const std::string& uri, std::string* host, ULONG* port, bool* tls) {
  host->clear();
  *port = LDAP_PORT;
  *tls = false;
  if (uri.empty()) return true;
  std::string_view rest = uri;
  if (StartsWithFolded(rest, "ldaps://")) {
    *tls = true;
    *port = LDAP_SSL_PORT;
    rest.remove_prefix(8);
  } else if (StartsWithFolded(rest, "ldap://")) {
    rest.remove_prefix(7);
  } else {
    return false;
  }
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  if (rest.find_first_of("/ ") != rest.npos) return false;
  std::string_view name = rest;
  if (rest.starts_with("[")) {
    const size_t close = rest.find(']');
    if (close == rest.npos) return false;
    name = rest.substr(1, close - 1);
    rest.remove_prefix(close + 1);
  } else {
    const size_t colon = rest.rfind(':');
    name = rest.substr(0, colon);
    rest.remove_prefix(colon == rest.npos ? rest.size() : colon);
  }
  if (!rest.empty()) {
    if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6) return false;
    rest.remove_prefix(1);
    if (rest.find_first_not_of("0123456789") != rest.npos) return false;
    const unsigned long number = strtoul(std::string(rest).c_str(), nullptr, 10);
    if (number == 0 || number > 65535) return false;
    *port = static_cast<ULONG>(number);
  }
  *host = std::string(name);
  return true;
}

// Whether a TCP connection to `host`:`port` is taken within kDirectoryConnectSeconds. Asked
// before wldap32 connects: Wine's ldap_connect ignores its time-out, and its first operation
// then waits for a listener that never takes the connection for as long as the system does.
bool Reachable(const std::string& host, ULONG port) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  bool reached = false;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* addresses = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses) == 0) {
    for (addrinfo* a = addresses; a != nullptr && !reached; a = a->ai_next) {
      SOCKET probe = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
      if (probe == INVALID_SOCKET) continue;
      u_long non_blocking = 1;
      ioctlsocket(probe, FIONBIO, &non_blocking);
      if (connect(probe, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
        reached = true;
      } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(probe, &writable);
        FD_SET(probe, &failed);
        timeval timeout{kDirectoryConnectSeconds, 0};
        reached = select(0, nullptr, &writable, &failed, &timeout) > 0 &&
                  FD_ISSET(probe, &writable) && !FD_ISSET(probe, &failed);
      }
      closesocket(probe);
    }
    freeaddrinfo(addresses);
  }
  WSACleanup();
  return reached;
}

class WldapLink final : public DirectoryLink {
 public:
  explicit WldapLink(LDAP* ld) : ld_(ld) {}
  ~WldapLink() override { ldap_unbind(ld_); }
  WldapLink(const WldapLink&) = delete;
  WldapLink& operator=(const WldapLink&) = delete;

  uint32_t Search(const std::string& base, int scope, const std::string& filter,
                  const std::vector<std::string>* attributes, const std::string* cookie,
                  int page_size, int* message_id) override {
    std::vector<std::wstring> wide_names;
    std::vector<PWCHAR> names;
    if (attributes != nullptr) {
      for (const std::string& name : *attributes) wide_names.push_back(WideText(name));
      for (std::wstring& name : wide_names) names.push_back(name.data());
      names.push_back(nullptr);
    }
    std::wstring wide_base = WideText(base);
    std::wstring wide_filter = WideText(filter);
    LDAPControlW* page = nullptr;
    if (cookie != nullptr) {
      berval state{static_cast<ULONG>(cookie->size()),
                   cookie->empty() ? nullptr : const_cast<char*>(cookie->data())};
      if (ldap_create_page_controlW(ld_, static_cast<ULONG>(page_size), &state, 0, &page) !=
          LDAP_SUCCESS) {
        return kEOutOfMemory;
      }
    }
    LDAPControlW* controls[] = {page, nullptr};
    CountOperation();
    ULONG id = 0;
    const ULONG rc = ldap_search_extW(ld_, wide_base.data(), static_cast<ULONG>(scope),
                                      wide_filter.data(),
                                      attributes != nullptr ? names.data() : nullptr, 0,
                                      cookie != nullptr ? controls : nullptr, nullptr,
                                      kDirectoryOperationSeconds, 0, &id);
    if (page != nullptr) ldap_control_freeW(page);
    *message_id = static_cast<int>(id);
    return rc == LDAP_SUCCESS ? 0 : ResultOfLdap(rc);
  }

  void Next(int message_id, int64_t wait_nanoseconds, std::string* cookie,
            Message* message) override {
    l_timeval timeout{static_cast<LONG>(wait_nanoseconds / 1000000000LL),
                      static_cast<LONG>(wait_nanoseconds % 1000000000LL / 1000)};
    LDAPMessage* got = nullptr;
    const ULONG type =
        ldap_result(ld_, static_cast<ULONG>(message_id), LDAP_MSG_ONE, &timeout, &got);
    if (type == static_cast<ULONG>(-1) || (type != 0 && got == nullptr)) {
      // What failed is the client's reading (the connection's error number, among the
      // client's own codes from LDAP_SERVER_DOWN on); a server's result code left there
      // from an earlier answer says nothing of it.
      ULONG rc = LDAP_SERVER_DOWN;
      ldap_get_optionW(ld_, LDAP_OPT_ERROR_NUMBER, &rc);
      message->kind = Message::kFailed;
      message->result = ResultOfLdap(rc < LDAP_SERVER_DOWN ? static_cast<ULONG>(LDAP_SERVER_DOWN) : rc);
      return;
    }
    if (type == 0) return;
    // The type is ldap_result's answer: Wine leaves the message's own lm_msgtype unset.
    switch (type) {
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

  void Abandon(int message_id) override { ldap_abandon(ld_, static_cast<ULONG>(message_id)); }

 private:
  // Copies the DN and attributes of a search entry.
  Entry CopyEntry(LDAPMessage* message) {
    Entry entry;
    uint64_t size = 0;
    PWCHAR dn = ldap_get_dnW(ld_, message);
    if (dn == nullptr) return entry;
    entry.dn = Narrow(dn);
    ldap_memfreeW(dn);
    size += entry.dn.size();
    BerElement* ber = nullptr;
    for (PWCHAR name = ldap_first_attributeW(ld_, message, &ber); name != nullptr;
         name = ldap_next_attributeW(ld_, message, ber)) {
      // Wine's wldap32 frees its inner library's copy of these values without their bytes:
      // under Wine every value read here stays held until the process ends. They count
      // against kDirectoryMaxBytes like any other, which bounds what one enumeration leaves.
      berval** values = ldap_get_values_lenW(ld_, message, name);
      std::string lower = Lower(Narrow(name));
      ldap_memfreeW(name);
      size += lower.size();
      std::vector<std::string> copied;
      size_t count = 0;
      for (berval** v = values; v != nullptr && *v != nullptr; ++v) ++count;
      copied.reserve(count);
      for (berval** v = values; v != nullptr && *v != nullptr; ++v) {
        copied.emplace_back((*v)->bv_val, (*v)->bv_len);
        size += (*v)->bv_len + sizeof(std::string);
      }
      if (values != nullptr) ldap_value_free_len(values);
      entry.attributes.emplace_back(std::move(lower), std::move(copied));
    }
    if (ber != nullptr) ber_free(ber, 0);
    entry.size = size;
    return entry;
  }

  // The search result: its code, and the paged results state into `cookie` when asked.
  uint32_t Finish(LDAPMessage* done, std::string* cookie) {
    // The code through ldap_result2error: Wine's ldap_parse_resultW leaves it unset.
    ULONG server_rc = ldap_result2error(ld_, done, FALSE);
    PLDAPControlW* returned = nullptr;
    const ULONG parsed =
        ldap_parse_resultW(ld_, done, nullptr, nullptr, nullptr, nullptr, &returned, TRUE);
    if (parsed != LDAP_SUCCESS && server_rc == LDAP_SUCCESS) server_rc = parsed;
    if (cookie != nullptr) {
      cookie->clear();
      ULONG estimate = 0;
      berval* next = nullptr;
      if (returned != nullptr &&
          ldap_parse_page_controlW(ld_, returned, &estimate, &next) == LDAP_SUCCESS &&
          next != nullptr) {
        if (next->bv_len > 0 && next->bv_val != nullptr) cookie->assign(next->bv_val, next->bv_len);
        ber_bvfree(next);
      }
    }
    if (returned != nullptr) ldap_controls_freeW(returned);
    return ResultOfLdap(server_rc);
  }

  LDAP* ld_;  // owned
};

}  // namespace

// The binding `secure` asks for changes nothing on the wire here (see the top of this file).
uint32_t OpenLink(const std::string& server_uri, bool /*secure*/,
                  std::unique_ptr<DirectoryLink>* out) {
  std::string host;
  ULONG port = 0;
  bool tls = false;
  if (!ParseServerUri(server_uri, &host, &port, &tls)) return kEDsServerDown;
  if (!host.empty() && !Reachable(host, port)) return kEDsServerDown;
  std::wstring wide_host = WideText(host);
  LDAP* ld = tls ? ldap_sslinitW(host.empty() ? nullptr : wide_host.data(), port, 1)
                 : ldap_initW(host.empty() ? nullptr : wide_host.data(), port);
  if (ld == nullptr) {
    const ULONG rc = LdapGetLastError();
    return ResultOfLdap(rc == LDAP_SUCCESS ? static_cast<ULONG>(LDAP_PARAM_ERROR) : rc);
  }
  if (!Configure(ld)) {
    ldap_unbind(ld);
    return kEFail;
  }
  auto link = std::make_unique<WldapLink>(ld);
  l_timeval connect_timeout{kDirectoryConnectSeconds, 0};
  if (const ULONG rc = ldap_connect(ld, &connect_timeout); rc != LDAP_SUCCESS) {
    return ResultOfLdap(rc);
  }
  *out = std::move(link);
  return 0;
}

// One attribute type definition ("( OID NAME ( 'a' 'b' ) SUP x SYNTAX 1.2.3{64} ... )")
// taken apart as far as the kinds need: wldap32 has no schema parser of its own.
bool ParseAttributeType(const std::string& definition, AttributeType* type) {
  const std::string_view text = definition;
  std::vector<std::string> tokens;
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      ++i;
    } else if (c == '(' || c == ')' || c == '$') {
      tokens.emplace_back(1, c);
      ++i;
    } else if (c == '\'') {
      const size_t end = text.find('\'', i + 1);
      if (end == text.npos) return false;
      tokens.emplace_back(text.substr(i, end + 1 - i));  // kept quoted
      i = end + 1;
    } else {
      size_t end = i;
      while (end < text.size() && std::string_view(" \t\n\r()$'").find(text[end]) == text.npos) {
        ++end;
      }
      tokens.emplace_back(text.substr(i, end - i));
      i = end;
    }
  }
  if (tokens.size() < 3 || tokens.front() != "(" || tokens.back() != ")") return false;
  auto unquote = [](const std::string& token) {
    return token.size() >= 2 && token.front() == '\'' ? token.substr(1, token.size() - 2) : token;
  };
  // A keyword's value: one token, or a parenthesised list; `*i` is left past it.
  auto value = [&tokens](size_t* i) {
    std::vector<std::string> values;
    if (*i + 1 >= tokens.size()) return values;
    if (tokens[*i] != "(") {
      values.push_back(tokens[(*i)++]);
      return values;
    }
    for (++*i; *i + 1 < tokens.size() && tokens[*i] != ")"; ++*i) {
      if (tokens[*i] != "$") values.push_back(tokens[*i]);
    }
    ++*i;
    return values;
  };
  type->oid = tokens[1];
  for (size_t i = 2; i + 1 < tokens.size();) {
    const std::string keyword = tokens[i++];
    if (keyword == "OBSOLETE" || keyword == "SINGLE-VALUE" || keyword == "COLLECTIVE" ||
        keyword == "NO-USER-MODIFICATION") {
      continue;
    }
    std::vector<std::string> values = value(&i);
    if (keyword == "NAME") {
      for (const std::string& name : values) type->names.push_back(unquote(name));
    } else if (keyword == "SYNTAX" && !values.empty()) {
      type->syntax = unquote(values.front());
      type->syntax.resize(std::min(type->syntax.find('{'), type->syntax.size()));
    } else if (keyword == "SUP" && !values.empty()) {
      type->sup = values.front();
    }
  }
  return true;
}


bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
  return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// Parses an LDAPv3 DN ("type=value" pairs, '+' inside an RDN, ',' between RDNs,
// blanks around separators, '\' escapes of a character or a hex pair, '#' hex values) into
// its canonical text; false when `text` is no DN.
bool ParseDn(const std::string& dn, std::string* normal) {
  const std::string_view text = dn;
  normal->clear();
  size_t i = 0;
  const size_t n = text.size();
  auto skip_blanks = [&] {
    while (i < n && text[i] == ' ') ++i;
  };
  skip_blanks();
  if (i == n) return true;  // the empty DN
  for (;;) {
    // The attribute type: a name or a numeric OID.
    skip_blanks();
    const size_t type_start = i;
    while (i < n && (isalnum(static_cast<unsigned char>(text[i])) || text[i] == '-' ||
                     text[i] == '.')) {
      ++i;
    }
    if (i == type_start) return false;
    const std::string_view type = text.substr(type_start, i - type_start);
    skip_blanks();
    if (i == n || text[i] != '=') return false;
    ++i;
    skip_blanks();
    std::string value;
    if (i < n && text[i] == '#') {
      for (++i; i + 1 < n && IsHexDigit(text[i]) && IsHexDigit(text[i + 1]); i += 2) {
        value.push_back(static_cast<char>(HexValue(text[i]) * 16 + HexValue(text[i + 1])));
      }
      if (value.empty()) return false;
    } else {
      size_t kept = 0;  // the value's length without unescaped trailing blanks
      while (i < n && text[i] != ',' && text[i] != '+') {
        const char c = text[i];
        if (c == '\\') {
          if (i + 2 < n && IsHexDigit(text[i + 1]) && IsHexDigit(text[i + 2])) {
            value.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 3;
          } else if (i + 1 < n && strchr(" \"#+,;<=>\\", text[i + 1]) != nullptr) {
            value.push_back(text[i + 1]);
            i += 2;
          } else {
            return false;
          }
          kept = value.size();
        } else if (c == '"' || c == '<' || c == '>' || c == '=' || c == ';' || c == '\0') {
          return false;
        } else {
          value.push_back(c);
          if (c != ' ') kept = value.size();
          ++i;
        }
      }
      value.resize(kept);
      if (value.empty()) return false;
    }
    skip_blanks();
    *normal += Lower(type);
    normal->push_back('=');
    AppendCanonicalValue(value, normal);
    if (i == n) return true;
    if (text[i] == '+') {
      normal->push_back('+');
    } else if (text[i] == ',') {
      normal->push_back(',');
    } else {
      return false;
    }
    ++i;
  }
}

}  // namespace directory

std::string ConfiguredDirectoryServer() {
  // Without LDAPURI, a serverless path goes where Windows' client sends it: the domain's
  // own directory, which has no URI to tell.
  return directory::DefaultServer();
}

}  // namespace platform
