#include "redis_store/redis_url.hpp"

#include <charconv>
#include <limits>
#include <optional>

#include "redis_store/missing_support.hpp"
#include "redis_store/tls_transport.hpp"

namespace quellgate::redis_store {

namespace {

constexpr std::string_view kTcpScheme = "redis://";
constexpr std::string_view kUnixScheme = "redis+unix://";
constexpr std::string_view kTlsScheme = "rediss://";

std::string lowercase(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return lowered;
}

// Everything after a "password=", in any case, becomes ***.
std::string without_password_value(std::string text) {
  if (const auto password = lowercase(text).find("password="); password != std::string::npos)
    text.replace(password + 9, std::string::npos, "***");
  return text;
}

// The URL as messages quote it. A password may hold any character, and
// one not percent-encoded makes the URL's shape a guess, so this masks
// generously: everything up to the last '@' after the scheme but a user name
// before the first ':', and everything after a "password=", whatever case.
std::string masked(std::string_view url) {
  std::string text(url);
  const auto scheme_end = text.find("://");
  const auto authority_begin = scheme_end == std::string::npos ? 0 : scheme_end + 3;
  const auto at = text.rfind('@');
  if (at != std::string::npos && at >= authority_begin) {
    const auto colon = text.find(':', authority_begin);
    const auto hidden_from = colon < at ? colon + 1 : authority_begin;
    text.replace(hidden_from, at - hidden_from, "***");
  }
  return without_password_value(std::move(text));
}

struct UrlError {
  std::string part_problem;
};

std::unexpected<UrlError> wrong(std::string problem) { return std::unexpected(UrlError{std::move(problem)}); }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::expected<std::string, UrlError> percent_decoded(std::string_view text, std::string_view part) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    const int high = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
    const int low = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
    if (high < 0 || low < 0) return wrong(std::string(part) + " has a '%' not followed by two hex digits");
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

template <class Number>
std::optional<Number> whole_number(std::string_view text, Number lowest, Number highest) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  if (value < lowest || value > highest) return std::nullopt;
  return value;
}

std::expected<std::uint32_t, UrlError> database_number(std::string_view text) {
  constexpr auto highest = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
  if (auto db = whole_number<std::uint32_t>(text, 0, highest)) return *db;
  return wrong("database '" + std::string(text) + "' is not a whole number (0 is the default database)");
}

bool is_host_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
         c == '_';
}

std::expected<void, UrlError> parse_credentials(std::string_view userinfo, RedisAddress& address) {
  const auto colon = userinfo.find(':');
  if (colon == std::string_view::npos)
    return wrong("the credentials before '@' have no password: write user:password@ or :password@");
  auto user = percent_decoded(userinfo.substr(0, colon), "the user name");
  if (!user) return std::unexpected(user.error());
  auto password = percent_decoded(userinfo.substr(colon + 1), "the password");
  if (!password) return std::unexpected(password.error());
  if (password->empty()) return wrong("the password before '@' is empty");
  address.user = std::move(*user);
  address.password = std::move(*password);
  return {};
}

std::expected<void, UrlError> parse_host_port(std::string_view hostport, RedisAddress& address) {
  std::string_view host = hostport;
  std::optional<std::string_view> port;
  if (hostport.starts_with('[')) {
    const auto close = hostport.find(']');
    if (close == std::string_view::npos) return wrong("IPv6 host '" + std::string(hostport) + "' has no closing ']'");
    host = hostport.substr(1, close - 1);
    const auto after = hostport.substr(close + 1);
    if (!after.empty() && !after.starts_with(':'))
      return wrong("'" + std::string(after) + "' after the IPv6 host is not ':port'");
    if (!after.empty()) port = after.substr(1);
    if (host.empty() || host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos)
      return wrong("IPv6 host '[" + std::string(host) + "]' is not an IPv6 address");
  } else {
    const auto colon = hostport.rfind(':');
    if (colon != std::string_view::npos) {
      host = hostport.substr(0, colon);
      port = hostport.substr(colon + 1);
    }
    if (host.empty()) return wrong("the host is missing");
    for (char c : host)
      if (!is_host_char(c))
        return wrong("host '" + std::string(host) + "' has the character '" + std::string(1, c) +
                     "' (an IPv6 address goes in brackets: [::1])");
  }
  if (port) {
    const auto number = whole_number<std::uint16_t>(*port, 1, 65535);
    if (!number) return wrong("port '" + std::string(*port) + "' is not a number from 1 to 65535");
    address.port = *number;
  }
  address.host = std::string(host);
  return {};
}

// The parameters redis-py and `limits` take for TLS, with their spelling.
// File paths are percent-decoded; none of them is a secret.
std::expected<void, UrlError> parse_tls_query(std::string_view query, TlsOptions& tls) {
  while (!query.empty()) {
    const auto amp = query.find('&');
    const auto pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    const auto eq = pair.find('=');
    const auto key = pair.substr(0, eq);
    auto value = percent_decoded(eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1),
                                 "query parameter '" + std::string(key) + "'");
    if (!value) return std::unexpected(value.error());
    if (key == "ssl_cert_reqs") {
      if (*value != "required" && *value != "none")
        return wrong("ssl_cert_reqs '" + *value + "' is not 'required' (the default) or 'none'");
      tls.verify = *value == "required";
      continue;
    }
    std::string* field = key == "ssl_ca_certs" ? &tls.ca_certs
                         : key == "ssl_certfile" ? &tls.certfile
                         : key == "ssl_keyfile"  ? &tls.keyfile
                                                 : nullptr;
    if (!field)
      return wrong("query parameter '" + std::string(key) +
                   "' is not one of ssl_ca_certs, ssl_certfile, ssl_keyfile, ssl_cert_reqs");
    if (value->empty()) return wrong("query parameter '" + std::string(key) + "' is empty");
    *field = std::move(*value);
  }
  if (!tls.keyfile.empty() && tls.certfile.empty()) return wrong("ssl_keyfile needs an ssl_certfile");
  return {};
}

std::expected<RedisAddress, UrlError> parse_tcp(std::string_view rest, bool tls) {
  RedisAddress address;
  // Nothing after the host may hold an '@', so the last one ends the
  // credentials, even a password with an unencoded '/', '?' or '@' in it,
  // and nothing quoted from the rest can be part of one.
  if (const auto at = rest.rfind('@'); at != std::string_view::npos) {
    if (auto ok = parse_credentials(rest.substr(0, at), address); !ok) return std::unexpected(ok.error());
    rest = rest.substr(at + 1);
  }
  if (tls) {
    address.tls.emplace();
    if (const auto query = rest.find('?'); query != std::string_view::npos) {
      if (auto ok = parse_tls_query(rest.substr(query + 1), *address.tls); !ok) return std::unexpected(ok.error());
      rest = rest.substr(0, query);
    }
  } else if (const auto query = rest.find('?'); query != std::string_view::npos) {
    return wrong("query '" + std::string(rest.substr(query)) +
                 "' is not understood: redis:// takes the database as /db and credentials before '@'");
  }
  const auto slash = rest.find('/');
  if (auto ok = parse_host_port(rest.substr(0, slash), address); !ok) return std::unexpected(ok.error());
  if (slash != std::string_view::npos && slash + 1 < rest.size()) {
    auto db = database_number(rest.substr(slash + 1));
    if (!db) return std::unexpected(db.error());
    address.db = *db;
  }
  return address;
}

std::expected<void, UrlError> parse_socket_query(std::string_view query, RedisAddress& address) {
  // An unencoded '&' in a password splits it into what look like other
  // parameters: with a password in the query, no part of it is quoted.
  const bool quotable = lowercase(query).find("password") == std::string::npos;
  const auto quoted = [quotable](std::string_view part) { return quotable ? "'" + std::string(part) + "'" : "a"; };
  while (!query.empty()) {
    const auto amp = query.find('&');
    const auto pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    const auto eq = pair.find('=');
    const auto key = pair.substr(0, eq);
    const auto raw = eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1);
    if (key == "db") {
      auto db = database_number(raw);
      if (!db) return wrong(quotable ? db.error().part_problem : "the database is not a whole number");
      address.db = *db;
    } else if (key == "password" || key == "user") {
      auto value = percent_decoded(raw, "the " + std::string(key));
      if (!value) return std::unexpected(value.error());
      if (value->empty()) return wrong("query parameter '" + std::string(key) + "' is empty");
      (key == "user" ? address.user : address.password) = std::move(*value);
    } else {
      return wrong("query parameter " + quoted(key) + " is not one of db, password, user");
    }
  }
  if (!address.user.empty() && address.password.empty()) return wrong("query parameter 'user' needs a password");
  return {};
}

std::expected<RedisAddress, UrlError> parse_unix(std::string_view rest) {
  RedisAddress address;
  if (!rest.starts_with('/'))
    return wrong("a socket URL names no host: write redis+unix:///path/to/socket, with three slashes");
  const auto question = rest.find('?');
  auto path = percent_decoded(rest.substr(0, question), "the socket path");
  if (!path) return std::unexpected(path.error());
  if (*path == "/") return wrong("the socket path is missing");
  address.socket_path = std::move(*path);
  if (question != std::string_view::npos) {
    if (auto ok = parse_socket_query(rest.substr(question + 1), address); !ok) return std::unexpected(ok.error());
  }
  return address;
}

}  // namespace

std::string RedisAddress::tls_identity() const {
  if (!tls) return {};
  std::string text = tls->verify ? "tls verified" : "tls unverified";
  for (const std::string* path : {&tls->ca_certs, &tls->certfile, &tls->keyfile})
    text += "|" + std::to_string(path->size()) + ":" + *path;
  return text;
}

std::string RedisAddress::describe() const {
  std::string text;
  if (is_unix()) {
    // A password written into the path by mistake ('&' for '?') stays hidden.
    text = "unix:" + without_password_value(socket_path);
  } else {
    const bool ipv6 = host.find(':') != std::string::npos;
    text = std::string(tls ? "tls:" : "") + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
  }
  if (db != 0) text += " db " + std::to_string(db);
  return text;
}

std::expected<RedisAddress, StoreError> parse_redis_url(std::string_view url) {
  auto refuse = [&](const std::string& problem) {
    return std::unexpected(StoreError{StoreErrorKind::config, "bad storage URL '" + masked(url) + "': " + problem});
  };
  std::expected<RedisAddress, UrlError> parsed = wrong("");
  if (url.starts_with(kTlsScheme)) {
    parsed = parse_tcp(url.substr(kTlsScheme.size()), true);
    // A wrong URL is told as such in any build.
    if (parsed && !tls_built_in())
      return std::unexpected(StoreError{
          StoreErrorKind::unavailable,
          "storage URL '" + masked(url) + "': " + std::string(no_tls_reason())});
  } else if (url.starts_with(kTcpScheme)) {
    parsed = parse_tcp(url.substr(kTcpScheme.size()), false);
  } else if (url.starts_with(kUnixScheme)) {
    parsed = parse_unix(url.substr(kUnixScheme.size()));
  } else {
    const auto scheme_end = url.find("://");
    const auto scheme = scheme_end == std::string_view::npos ? std::string("(none)") : std::string(url.substr(0, scheme_end));
    return refuse("scheme '" + scheme + "' is not redis://, rediss:// or redis+unix://");
  }
  if (!parsed) return refuse(parsed.error().part_problem);
  return std::move(*parsed);
}

}  // namespace quellgate::redis_store
