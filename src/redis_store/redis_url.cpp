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
constexpr std::string_view kSentinelScheme = "redis+sentinel://";
constexpr std::string_view kTlsSentinelScheme = "rediss+sentinel://";
// What redis-cli and redis-py's Sentinel assume.
constexpr std::uint16_t kSentinelPort = 26379;
constexpr std::string_view kClusterScheme = "redis+cluster://";
constexpr std::string_view kTlsClusterScheme = "rediss+cluster://";

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

// Takes "key=value" off the front of an "a=b&c=d" query, its value still
// percent-encoded.
std::pair<std::string_view, std::string_view> next_query_pair(std::string_view& query) {
  const auto amp = query.find('&');
  const auto pair = query.substr(0, amp);
  query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
  const auto eq = pair.find('=');
  return {pair.substr(0, eq), eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1)};
}

constexpr std::string_view kTlsParameters = "ssl_ca_certs, ssl_certfile, ssl_keyfile, ssl_cert_reqs";

// One of the parameters redis-py and `limits` take for TLS, with their
// spelling; false for another key. File paths are percent-decoded; none of
// them is a secret.
std::expected<bool, UrlError> take_tls_parameter(std::string_view key, std::string_view raw, TlsOptions& tls) {
  std::string* field = key == "ssl_ca_certs" ? &tls.ca_certs
                       : key == "ssl_certfile" ? &tls.certfile
                       : key == "ssl_keyfile"  ? &tls.keyfile
                                               : nullptr;
  if (!field && key != "ssl_cert_reqs") return false;
  auto value = percent_decoded(raw, "query parameter '" + std::string(key) + "'");
  if (!value) return std::unexpected(value.error());
  if (!field) {
    if (*value != "required" && *value != "none")
      return wrong("ssl_cert_reqs '" + *value + "' is not 'required' (the default) or 'none'");
    tls.verify = *value == "required";
    return true;
  }
  if (value->empty()) return wrong("query parameter '" + std::string(key) + "' is empty");
  *field = std::move(*value);
  return true;
}

std::expected<void, UrlError> check_tls_files(const TlsOptions& tls) {
  if (!tls.keyfile.empty() && tls.certfile.empty()) return wrong("ssl_keyfile needs an ssl_certfile");
  return {};
}

std::expected<void, UrlError> parse_tls_query(std::string_view query, TlsOptions& tls) {
  while (!query.empty()) {
    const auto [key, raw] = next_query_pair(query);
    auto taken = take_tls_parameter(key, raw, tls);
    if (!taken) return std::unexpected(taken.error());
    if (!*taken)
      return wrong("query parameter '" + std::string(key) + "' is not one of " + std::string(kTlsParameters));
  }
  return check_tls_files(tls);
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

// Each node in the list is read as a one-server URL with the same
// credentials and query would be, so both forms refuse the same mistakes.
std::expected<RedisAddress, UrlError> parse_cluster(std::string_view rest, bool tls) {
  const auto at = rest.rfind('@');
  const std::string_view credentials = at == std::string_view::npos ? std::string_view{} : rest.substr(0, at + 1);
  const std::string_view tail = rest.substr(credentials.size());
  const auto nodes_end = std::min(tail.find_first_of("/?"), tail.size());
  std::optional<RedisAddress> first;
  for (std::string_view nodes = tail.substr(0, nodes_end);;) {
    const auto comma = nodes.find(',');
    const auto node = nodes.substr(0, comma);
    if (node.empty()) return wrong("the list of cluster nodes has an empty entry");
    auto parsed = parse_tcp(std::string(credentials) + std::string(node) + std::string(tail.substr(nodes_end)), tls);
    if (!parsed) return parsed;
    if (parsed->db != 0) return wrong("a Redis Cluster has database 0 only");
    Endpoint seed{parsed->host, parsed->port};
    if (!first) first = std::move(*parsed);
    first->cluster_seeds.push_back(std::move(seed));
    if (comma == std::string_view::npos) break;
    nodes = nodes.substr(comma + 1);
  }
  return std::move(*first);
}

std::expected<void, UrlError> parse_socket_query(std::string_view query, RedisAddress& address) {
  // An unencoded '&' in a password splits it into what look like other
  // parameters: with a password in the query, no part of it is quoted.
  const bool quotable = lowercase(query).find("password") == std::string::npos;
  const auto quoted = [quotable](std::string_view part) { return quotable ? "'" + std::string(part) + "'" : "a"; };
  while (!query.empty()) {
    const auto [key, raw] = next_query_pair(query);
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

// The query of a sentinel URL. A '&' in an unencoded password splits it
// into what look like more parameters, so nothing after "password" in the
// query is quoted.
std::expected<void, UrlError> parse_sentinel_query(std::string_view query, bool tls, RedisAddress& address) {
  const auto secret_from = lowercase(query).find("password");
  const std::size_t whole = query.size();
  while (!query.empty()) {
    const auto [key, raw] = next_query_pair(query);
    const bool quotable = whole - query.size() <= secret_from;
    if (key == "sentinel_password") {
      auto value = percent_decoded(raw, "sentinel_password");
      if (!value) return std::unexpected(value.error());
      if (value->empty()) return wrong("query parameter 'sentinel_password' is empty");
      address.sentinel->user.clear();
      address.sentinel->password = std::move(*value);
      continue;
    }
    std::expected<bool, UrlError> taken = false;
    if (tls) taken = take_tls_parameter(key, raw, *address.tls);
    if (taken && *taken) continue;
    if (!quotable) return wrong("a query parameter after the sentinel password is not understood (a '&' in it is written %26)");
    if (!taken) return std::unexpected(taken.error());
    return wrong("query parameter '" + std::string(key) + "' is not one of sentinel_password" +
                 (tls ? ", " + std::string(kTlsParameters) : std::string(" (ssl_* parameters need rediss+sentinel://)")));
  }
  if (tls) return check_tls_files(*address.tls);
  return {};
}

// "[[user]:password@]host[:port][,host[:port]...]/service[/db][?query]".
// The URL's credentials are the master's, and the sentinels' unless the
// query gives them a password of their own.
std::expected<RedisAddress, UrlError> parse_sentinel(std::string_view rest, bool tls) {
  RedisAddress address;
  address.port = 0;
  auto& sentinel = address.sentinel.emplace();
  if (tls) address.tls.emplace();
  if (const auto at = rest.rfind('@'); at != std::string_view::npos) {
    if (auto ok = parse_credentials(rest.substr(0, at), address); !ok) return std::unexpected(ok.error());
    rest = rest.substr(at + 1);
  }
  sentinel.user = address.user;
  sentinel.password = address.password;
  if (const auto question = rest.find('?'); question != std::string_view::npos) {
    if (auto ok = parse_sentinel_query(rest.substr(question + 1), tls, address); !ok) return std::unexpected(ok.error());
    rest = rest.substr(0, question);
  }
  const auto slash = rest.find('/');
  for (std::string_view hosts = rest.substr(0, slash); ;) {
    const auto comma = hosts.find(',');
    RedisAddress one;
    one.port = kSentinelPort;
    if (auto ok = parse_host_port(hosts.substr(0, comma), one); !ok) return std::unexpected(ok.error());
    sentinel.sentinels.push_back(Endpoint{std::move(one.host), one.port});
    if (comma == std::string_view::npos) break;
    hosts = hosts.substr(comma + 1);
  }
  const auto path = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
  const auto db_slash = path.find('/');
  auto service = percent_decoded(path.substr(0, db_slash), "the service name");
  if (!service) return std::unexpected(service.error());
  if (service->empty()) return wrong("the service name is missing: write the sentinels' name of the master after the hosts, as in /mymaster");
  sentinel.service = std::move(*service);
  if (db_slash != std::string_view::npos && db_slash + 1 < path.size()) {
    auto db = database_number(path.substr(db_slash + 1));
    if (!db) return std::unexpected(db.error());
    address.db = *db;
  }
  return address;
}

}  // namespace

std::string SentinelOptions::identity() const {
  std::string text = std::to_string(service.size()) + ":" + service + "|" + std::to_string(user.size()) + ":" + user +
                     "|" + std::to_string(password.size()) + ":" + password;
  for (const auto& endpoint : sentinels) text += "|" + endpoint.host + ":" + std::to_string(endpoint.port);
  return text;
}

std::string RedisAddress::tls_identity() const {
  if (!tls) return {};
  std::string text = tls->verify ? "tls verified" : "tls unverified";
  for (const std::string* path : {&tls->ca_certs, &tls->certfile, &tls->keyfile})
    text += "|" + std::to_string(path->size()) + ":" + *path;
  return text;
}

std::string RedisAddress::describe() const {
  const auto host_port = [](const std::string& name, std::uint16_t number) {
    return (name.find(':') != std::string::npos ? "[" + name + "]" : name) + ":" + std::to_string(number);
  };
  std::string text;
  if (sentinel) {
    // Once the sentinels named the master, messages name both.
    if (!host.empty()) text = host_port(host, port) + ", ";
    text += "master '" + sentinel->service + "' via sentinels ";
    for (const auto& endpoint : sentinel->sentinels)
      text += (&endpoint == &sentinel->sentinels.front() ? "" : ",") + host_port(endpoint.host, endpoint.port);
    if (tls) text += " over TLS";
  } else if (is_unix()) {
    // A password written into the path by mistake ('&' for '?') stays hidden.
    text = "unix:" + without_password_value(socket_path);
  } else if (is_cluster()) {
    text = std::string(tls ? "tls:" : "") + "cluster ";
    for (const auto& seed : cluster_seeds)
      text += (&seed == cluster_seeds.data() ? "" : ",") + host_port(seed.host, seed.port);
  } else {
    text = std::string(tls ? "tls:" : "") + host_port(host, port);
  }
  if (db != 0) text += " db " + std::to_string(db);
  return text;
}

std::expected<RedisAddress, StoreError> parse_redis_url(std::string_view url) {
  auto refuse = [&](const std::string& problem) {
    return std::unexpected(StoreError{StoreErrorKind::config, "bad storage URL '" + masked(url) + "': " + problem});
  };
  std::expected<RedisAddress, UrlError> parsed = wrong("");
  const bool tls_cluster = url.starts_with(kTlsClusterScheme);
  if (url.starts_with(kTlsScheme) || tls_cluster) {
    parsed = tls_cluster ? parse_cluster(url.substr(kTlsClusterScheme.size()), true)
                         : parse_tcp(url.substr(kTlsScheme.size()), true);
  } else if (url.starts_with(kTcpScheme)) {
    parsed = parse_tcp(url.substr(kTcpScheme.size()), false);
  } else if (url.starts_with(kClusterScheme)) {
    parsed = parse_cluster(url.substr(kClusterScheme.size()), false);
  } else if (url.starts_with(kUnixScheme)) {
    parsed = parse_unix(url.substr(kUnixScheme.size()));
  } else if (url.starts_with(kSentinelScheme) || url.starts_with(kTlsSentinelScheme)) {
    const bool tls = url.starts_with(kTlsSentinelScheme);
    parsed = parse_sentinel(url.substr(tls ? kTlsSentinelScheme.size() : kSentinelScheme.size()), tls);
  } else {
    const auto scheme_end = url.find("://");
    const auto scheme = scheme_end == std::string_view::npos ? std::string("(none)") : std::string(url.substr(0, scheme_end));
    return refuse("scheme '" + scheme +
                  "' is not redis://, rediss://, redis+unix://, redis+sentinel://, rediss+sentinel://, "
                  "redis+cluster:// or rediss+cluster://");
  }
  if (!parsed) return refuse(parsed.error().part_problem);
  // A wrong URL is told as such in any build.
  if (parsed->tls && !tls_built_in())
    return std::unexpected(StoreError{
        StoreErrorKind::unavailable,
        "storage URL '" + masked(url) + "': " + std::string(no_tls_reason())});
  return std::move(*parsed);
}

}  // namespace quellgate::redis_store
