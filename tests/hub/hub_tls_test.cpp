// torvex-hub over TLS, end to end: the real hub process with a self-signed
// certificate made for the test (openssl), satemu, and HTTPS clients on
// loopback that check the hub's certificate.
#include <gtest/gtest.h>
#include <torvex.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl.hpp>
#include <fstream>

#include "hub_harness.h"

using namespace hubtest;
namespace net = boost::asio;
namespace ssl = net::ssl;
namespace beast = boost::beast;
namespace http = beast::http;

namespace {

// A certificate for 127.0.0.1 signed by itself, and its key.
void MakeCertificate(const fs::path &dir) {
  std::string cmd =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
      " -subj /CN=torvex-hub-test -addext subjectAltName=IP:127.0.0.1"
      " -keyout '" +
      (dir / "key.pem").string() + "' -out '" + (dir / "cert.pem").string() + "' >'" +
      (dir / "openssl.log").string() + "' 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << "openssl req failed (tools/setup.sh native)";
}

// An HTTPS connection that trusts only `ca` and checks the name 127.0.0.1.
struct TlsClient {
  TlsClient(unsigned short port, const fs::path &ca)
      : context(ssl::context::tls_client), stream(io, context) {
    context.load_verify_file(ca.string());
    stream.set_verify_mode(ssl::verify_peer);
    stream.set_verify_callback(ssl::host_name_verification("127.0.0.1"));
    beast::get_lowest_layer(stream).connect({net::ip::make_address("127.0.0.1"), port});
    stream.handshake(ssl::stream_base::client);
  }
  Reply Request(const std::string &method, const std::string &target, const std::string &body,
                const std::map<std::string, std::string> &headers = {}) {
    return Exchange(stream, buffer, method, target, body, headers);
  }
  net::io_context io;
  ssl::context context;
  beast::ssl_stream<net::ip::tcp::socket> stream;
  beast::flat_buffer buffer;
};

std::string Retorno(const Reply &r) {
  return nlohmann::json::parse(r.body).at("retorno").get<std::string>();
}

// Reads until the hub closes the connection; false if it sent anything.
bool ClosedWithoutReply(net::ip::tcp::socket &s) {
  char c[256];
  boost::system::error_code ec;
  std::size_t got = 0;
  while (!ec) got += s.read_some(net::buffer(c), ec);
  return got == 0;
}

// In a child process (the library reads its remote settings once per
// process): ConsultarSAT through the hub with these settings. The child's
// exit status: 0 the device's reply came with our session number, 1 the
// library could not reach the hub (status 1), 2 anything else.
int RemoteCallInChild(const std::map<std::string, std::string> &env, std::string &text) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    for (const auto &[k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    const char *reply = ConsultarSAT(424242);
    char status[TORVEX_STATUS_SIZE] = {};
    CodigoErro(status);
    const auto *b = reinterpret_cast<const unsigned char *>(status);
    int code = b[0] | b[1] << 8 | b[2] << 16;
    std::string out = std::to_string(code) + " " + reply + " / " + (status + 4);
    if (write(fds[1], out.data(), out.size()) < 0) _exit(3);
    std::vector<std::string> f = Fields(reply);
    _exit(code == 0 && f.size() > 1 && f[0] == "424242" && f[1] == "08000" ? 0 : code == 1 ? 1 : 2);
  }
  close(fds[1]);
  char buf[512];
  ssize_t n;
  text.clear();
  while ((n = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The hub on satemu in dir, serving HTTPS with a certificate made there,
// and the given options besides (the caller checks HasFatalFailure).
void StartTlsHub(const fs::path &dir, Satemu &emu, HubProcess &hub,
                 std::vector<std::string> options = {}) {
  MakeCertificate(dir);
  if (::testing::Test::HasFatalFailure()) return;
  emu.Start(dir);
  std::vector<std::string> args = {"--tls-cert", (dir / "cert.pem").string(), "--tls-key",
                                   (dir / "key.pem").string()};
  args.insert(args.end(), options.begin(), options.end());
  hub.Start(emu.Ports(), dir, args);
}

}  // namespace

// libtorvex.so's remote mode with an https:// hub: the hub's certificate is
// checked (against TORVEX_HUB_CA, else the system's store) and so is the
// name in the URL; a failed check never sends the call.
TEST(HubTls, LibraryRemoteModeChecksTheHubsCertificate) {
  fs::path dir = TempDir("tls-remote");
  Satemu emu;
  HubProcess hub;
  StartTlsHub(dir, emu, hub);
  if (HasFatalFailure()) return;
  const std::string port = std::to_string(hub.Port());
  const std::map<std::string, std::string> base = {{"TORVEX_TILL", "6"}};
  struct Case {
    const char *what;
    std::string url, ca;
    int expected;
  } cases[] = {
      {"CA file given", "https://127.0.0.1:" + port, (dir / "cert.pem").string(), 0},
      {"system store only", "https://127.0.0.1:" + port, "", 1},
      {"name not in the certificate", "https://localhost:" + port, (dir / "cert.pem").string(), 1},
      {"plain http to the TLS port", "http://127.0.0.1:" + port, "", 2},
  };
  for (const Case &c : cases) {
    auto env = base;
    env["TORVEX_HUB"] = c.url;
    if (!c.ca.empty()) env["TORVEX_HUB_CA"] = c.ca;
    std::string text;
    EXPECT_EQ(RemoteCallInChild(env, text), c.expected) << c.what << ": " << text;
  }
  // Only the first case reached the device.
  std::ifstream log((dir / "access.log").string());
  int lines = 0;
  for (std::string line; std::getline(log, line);)
    lines += line.find("ConsultarSAT") != std::string::npos;
  EXPECT_EQ(lines, 1);
  hub.Stop();
  fs::remove_all(dir);
}

// Calls over HTTPS (kept alive, a refused body's 413 delivered before the
// close); a plain-HTTP client and a client that never finishes its
// handshake or its request are cut off at the read limit while other tills
// are served; a key that is not the certificate's stops the hub at start.
TEST(HubTls, ServesHttpsRefusesPlainHttpAndBoundsSlowClients) {
  fs::path dir = TempDir("tls");
  Satemu emu;
  HubProcess hub;
  StartTlsHub(dir, emu, hub, {"--read-timeout-ms", "1500", "--body-limit", "2048"});
  if (HasFatalFailure()) return;
  const unsigned short port = hub.Port();
  const fs::path ca = dir / "cert.pem";

  {
    TlsClient c(port, ca);  // one connection, three requests
    Reply r = c.Request("POST", "/hub/v1/consultarsat", "numero_caixa=3");
    ASSERT_EQ(r.status, 200) << r.body;
    std::string session = Fields(Retorno(r))[0];
    EXPECT_TRUE(InRangeOf(3, session)) << session;
    EXPECT_EQ(Fields(Retorno(r))[1], "08000");
    r = c.Request("GET", "/hub/v1/health", "");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(nlohmann::json::parse(r.body).at("dispositivo"), "alcancavel");
    r = c.Request("POST", "/hub/v1/consultarsat", "numero_caixa=3&x=" + std::string(4096, 'a'));
    EXPECT_EQ(r.status, 413);
  }

  // A client that does not trust the certificate fails its handshake.
  {
    net::io_context io;
    ssl::context context(ssl::context::tls_client);
    context.set_default_verify_paths();
    beast::ssl_stream<net::ip::tcp::socket> s(io, context);
    s.set_verify_mode(ssl::verify_peer);
    beast::get_lowest_layer(s).connect({net::ip::make_address("127.0.0.1"), port});
    boost::system::error_code ec;
    s.handshake(ssl::stream_base::client, ec);
    EXPECT_TRUE(ec) << "a self-signed certificate was trusted without its CA file";
  }

  // Plain HTTP on the TLS port: no HTTP reply, the connection is closed.
  EXPECT_THROW(Call(port, "consultarsat", 3), std::exception);

  // Silent after connecting (no handshake), and trickling a request after
  // the handshake: both closed near the 1.5 s read limit, while another
  // till's calls go through.
  net::io_context io;
  net::ip::tcp::socket silent(io);
  silent.connect({net::ip::make_address("127.0.0.1"), port});
  TlsClient trickler(port, ca);
  std::string head =
      "POST /hub/v1/consultarsat HTTP/1.1\r\nHost: x\r\nContent-Type: "
      "application/x-www-form-urlencoded\r\nContent-Length: 1000\r\n\r\n";
  net::write(trickler.stream, net::buffer(head));
  auto t0 = std::chrono::steady_clock::now();
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    boost::system::error_code ec;
    for (int i = 0; i < 100 && !ec && !stop; ++i) {
      net::write(trickler.stream, net::buffer("x", 1), ec);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  for (int i = 0; i < 5; ++i) {
    TlsClient other(port, ca);
    EXPECT_EQ(other.Request("POST", "/hub/v1/consultarsat", "numero_caixa=4").status, 200);
  }
  EXPECT_TRUE(ClosedWithoutReply(silent)) << "the silent client got bytes";
  // The hub sends no session tickets: any byte now would be a reply.
  EXPECT_TRUE(ClosedWithoutReply(beast::get_lowest_layer(trickler.stream)))
      << "the trickling client got an answer";
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  stop = true;  // the stream is the trickling thread's until it has ended
  trickle.join();
  EXPECT_LT(took, 8.0);
  hub.Stop();

  // Start-up refusals: a key without its certificate, a key of another one.
  fs::path other = dir / "other";
  fs::create_directories(other);
  MakeCertificate(other);
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"--tls-key", (dir / "key.pem").string()},
           {"--tls-cert", ca.string(), "--tls-key", (other / "key.pem").string()}}) {
    std::vector<std::string> argv = HubArgs(dir / "hub2.state");
    argv.insert(argv.end(), args.begin(), args.end());
    Child bad;
    bad.Start(argv, {{"TORVEX_PORT_DIR", emu.Ports().string()}}, (dir / "bad.log").string());
    int status = bad.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << args.back();
  }
  std::ifstream log((dir / "bad.log").string());
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("both --tls-cert and --tls-key"), std::string::npos) << text;
  EXPECT_NE(text.find("cannot use the TLS key"), std::string::npos) << text;
  fs::remove_all(dir);
}
