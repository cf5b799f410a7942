// Runs the real satemu program on a pseudo-terminal and talks to it the way
// the library does: open the port, write one command frame, collect the
// bytes that come back, close the port.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "frame_codec.h"
#include "serial_link.h"
#include "zlib_stream.h"

namespace satemu {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Arrival {
  double at_ms;  // since the command was written
  std::string bytes;
};

class Satemu {
 public:
  // With `device` empty, satemu makes its own pseudo-terminal linked as COM7.
  explicit Satemu(const fs::path &dir, std::vector<std::string> extra = {},
                  const std::string &device = "")
      : dir_(dir) {
    link_ = dir / "COM7";
    log_ = dir / "satemu.log";
    std::vector<std::string> args = {SATEMU_BINARY, "--control", control().string()};
    if (device.empty()) {
      args.insert(args.end(), {"--link", link_.string()});
    } else {
      args.insert(args.end(), {"--device", device});
    }
    args.insert(args.end(), extra.begin(), extra.end());
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 2);
      std::vector<char *> argv;
      for (auto &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    // Ready when the link exists, or (for a device) when the start-up line is out.
    for (int i = 0; i < 300; ++i) {
      if (device.empty() ? fs::exists(link_) : log().find(" on " + device) != std::string::npos)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Satemu() {
    if (pid_ > 0) stop();
  }
  fs::path control() const { return dir_ / "ctl"; }
  const fs::path &link() const { return link_; }
  std::string log() const {
    std::ifstream in(log_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // SIGTERM, then the exit status.
  int stop() {
    kill(pid_, SIGTERM);
    return wait();
  }
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // One command: open, write, read until `quiet_ms` of silence (or
  // `limit_ms` in all), close.
  std::vector<Arrival> exchange(const std::string &frame, int quiet_ms = 150, int limit_ms = 3000) {
    const int fd = ::open(link_.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(fd, 0);
    set_raw_115200(fd);
    tcflush(fd, TCIFLUSH);
    const auto start = Clock::now();
    EXPECT_EQ(::write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    std::vector<Arrival> got;
    auto last = start;
    char buf[65536];
    while (true) {
      const auto now = Clock::now();
      const double since_start = std::chrono::duration<double, std::milli>(now - start).count();
      const double since_last = std::chrono::duration<double, std::milli>(now - last).count();
      if (since_start > limit_ms || (!got.empty() && since_last > quiet_ms)) break;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 10) > 0) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        last = Clock::now();
        got.push_back({std::chrono::duration<double, std::milli>(last - start).count(),
                       std::string(buf, static_cast<std::size_t>(n))});
      }
    }
    ::close(fd);
    return got;
  }
  std::string ask(std::uint8_t seq, const std::string &payload, int quiet_ms = 150) {
    std::string all;
    for (const auto &a : exchange(encode_command_frame(seq, payload), quiet_ms)) all += a.bytes;
    return all;
  }
  void faults(const std::string &text) { std::ofstream(control()) << text; }

 private:
  fs::path dir_, link_, log_;
  pid_t pid_ = -1;
};

class SatemuRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("satemu-run-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
            std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

std::string payload_of(const std::string &bytes) {
  const auto f = parse_reply_frame(bytes);
  return f ? f->payload : "<no frame: " + std::to_string(bytes.size()) + " bytes>";
}

TEST_F(SatemuRun, AnswersOverThePseudoTerminalAndObeysTheControlFile) {
  Satemu emu(dir_, {"--verbose"});
  ASSERT_TRUE(fs::is_symlink(emu.link())) << emu.log();
  std::string r = emu.ask(0, "000001|ConsultarSAT");
  auto f = parse_reply_frame(r);
  ASSERT_TRUE(f) << emu.log();
  EXPECT_EQ(f->size, r.size());
  EXPECT_TRUE(f->checksum_ok);
  EXPECT_EQ(f->sequence, 0);
  EXPECT_EQ(f->payload, "000001|08000|SAT em Operação||");

  // A frame with a bad checksum gets no answer; the next good one does.
  std::string bad = encode_command_frame(1, "000002|ConsultarSAT");
  bad.back() = static_cast<char>(bad.back() ^ 1);
  EXPECT_TRUE(emu.exchange(bad, 150, 400).empty());
  EXPECT_EQ(payload_of(emu.ask(2, "000003|ConsultarSAT")), "000003|08000|SAT em Operação||");

  emu.faults("badsum@ConsultarSAT\nreply:$S|12345||*2\n");
  f = parse_reply_frame(emu.ask(3, "000004|ConsultarSAT"));
  ASSERT_TRUE(f);
  EXPECT_FALSE(f->checksum_ok);
  EXPECT_EQ(payload_of(emu.ask(4, "000005|ConsultarSAT")), "000005|12345||");
  EXPECT_EQ(payload_of(emu.ask(5, "000006|ConsultarSAT")), "000006|12345||");
  EXPECT_EQ(fs::file_size(emu.control()), 0u);  // all used up: the file is emptied
  EXPECT_EQ(payload_of(emu.ask(6, "000007|ConsultarSAT")), "000007|08000|SAT em Operação||");
  // A sequence byte out of order is answered, with a warning.
  EXPECT_EQ(payload_of(emu.ask(9, "000008|ConsultarSAT")), "000008|08000|SAT em Operação||");
  EXPECT_EQ(emu.stop(), 0);
  EXPECT_FALSE(fs::exists(emu.link()));
  const std::string log = emu.log();
  EXPECT_NE(log.find("<- rx seq=0 len=19 sum=ok \"000001|ConsultarSAT\""), std::string::npos)
      << log;
  EXPECT_NE(log.find("sum=BAD"), std::string::npos);
  EXPECT_NE(log.find("fault badsum@ConsultarSAT applied"), std::string::npos);
  EXPECT_NE(log.find("warning: unexpected sequence byte 9"), std::string::npos);
}

TEST_F(SatemuRun, ServesAnExistingSerialDevice) {
  // A pseudo-terminal pair made here stands for a serial device: satemu gets
  // the device end, the test speaks on the other.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string device = ptsname(master);
  Satemu emu(dir_, {}, device);
  ASSERT_NE(emu.log().find(" on " + device), std::string::npos) << emu.log();
  const std::string frame = encode_command_frame(0, "000001|ConsultarSAT");
  ASSERT_EQ(::write(master, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  std::string got;
  for (int i = 0; i < 100 && !parse_reply_frame(got); ++i) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 20) > 0) {
      char buf[512];
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
  }
  EXPECT_EQ(payload_of(got), "000001|08000|SAT em Operação||");
  EXPECT_EQ(emu.stop(), 0);
  ::close(master);
}

TEST_F(SatemuRun, TimedFaultsSeenFromTheLine) {
  Satemu emu(dir_);
  auto joined = [](const std::vector<Arrival> &arrivals) {
    std::string all;
    for (const auto &a : arrivals) all += a.bytes;
    return all;
  };
  // Pieces 30 ms apart arrive in separate reads (a busy machine may merge
  // some), the last one at least 60 ms after the command was written.
  emu.faults("split:3:30\n");
  auto got = emu.exchange(encode_command_frame(0, "000001|ConsultarSAT"));
  ASSERT_GE(got.size(), 2u) << emu.log();
  EXPECT_GE(got.back().at_ms, 60.0);
  EXPECT_EQ(payload_of(joined(got)), "000001|08000|SAT em Operação||");

  // ACK, then the data frame after a silence the library can see.
  emu.faults("ackdata:80\n");
  got = emu.exchange(encode_command_frame(1, "000002|ConsultarSAT"));
  ASSERT_GE(got.size(), 1u);
  EXPECT_EQ(got[0].bytes.substr(0, 1), "\x06");
  EXPECT_EQ(joined(got), "\x06" + encode_reply_frame(1, "000002|08000|SAT em Operação||"));
  EXPECT_GE(got.back().at_ms, 80.0);

  emu.faults("delay:200\n");
  got = emu.exchange(encode_command_frame(2, "000003|ConsultarSAT"));
  ASSERT_FALSE(got.empty());
  EXPECT_GE(got[0].at_ms, 190.0);

  emu.faults("noreply\n");
  EXPECT_TRUE(emu.exchange(encode_command_frame(3, "000004|ConsultarSAT"), 100, 400).empty());

  // The huge frame arrives whole, more than 2 MiB.
  emu.faults("huge\n");
  const auto f = parse_reply_frame(
      joined(emu.exchange(encode_command_frame(4, "000005|ConsultarSAT"), 300, 10000)));
  ASSERT_TRUE(f);
  EXPECT_TRUE(f->checksum_ok);
  EXPECT_GT(f->payload.size(), 2u << 20);
}

TEST_F(SatemuRun, DropsAPartialFrameAfterSilence) {
  Satemu emu(dir_);
  const std::string frame = encode_command_frame(0, "000001|ConsultarSAT");
  EXPECT_TRUE(emu.exchange(frame.substr(0, 10), 100, 700).empty());  // waits 700 ms in all
  EXPECT_EQ(payload_of(emu.ask(1, "000002|ConsultarSAT")), "000002|08000|SAT em Operação||");
}

TEST_F(SatemuRun, VanishClosesTheLineAndEnds) {
  Satemu emu(dir_);
  emu.faults("vanish@AtivarSAT\n");
  EXPECT_EQ(payload_of(emu.ask(0, "000001|ConsultarSAT")), "000001|08000|SAT em Operação||");
  emu.exchange(encode_command_frame(1, "000002|AtivarSAT|1|12345678|11222333000181|35"), 100, 500);
  EXPECT_EQ(emu.wait(), 0);
  EXPECT_FALSE(fs::exists(emu.link()));
}

TEST_F(SatemuRun, SameDeviceAfterARestart) {
  const std::string state = (dir_ / "state").string();
  {
    Satemu emu(dir_, {"--state", state});
    EXPECT_EQ(payload_of(emu.ask(0, "000001|ConsultarStatusOperacional|12345678")).substr(0, 13),
              "000001|10001|");
    EXPECT_EQ(payload_of(emu.ask(1, "000002|AtivarSAT|1|12345678|11222333000181|35")).substr(0, 13),
              "000002|04000|");
  }
  Satemu emu(dir_, {"--state", state});
  EXPECT_EQ(payload_of(emu.ask(0, "000003|ConsultarStatusOperacional|12345678")).substr(0, 13),
            "000003|10000|");
  EXPECT_EQ(payload_of(emu.ask(1, "000004|ConsultarNumeroSessao|12345678|2")).substr(0, 13),
            "000002|04000|");

  // The sale's compressed tail, over the line.
  const std::string xml =
      "<CFe><infCFe><det><prod><qCom>1</qCom><vUnCom>2.50</vUnCom></prod></det><pgto><MP><cMP>01</"
      "cMP>"
      "<vMP>2.50</vMP></MP></pgto></infCFe></CFe>";
  const std::string z = zlib_compress(xml, 2);
  std::string cmd = "000005|EnviarDadosVenda|12345678|";
  for (int i = 0; i < 4; ++i) cmd.push_back(static_cast<char>((z.size() >> (8 * i)) & 0xFF));
  const std::string p = payload_of(emu.ask(2, cmd + z));
  const std::string head = "000005|06000|0000|Emitido com sucesso + conteúdo notas.|||";
  ASSERT_EQ(p.substr(0, head.size()), head);
  const std::string tail = zlib_inflate(std::string_view(p).substr(head.size() + 4), 1u << 20).data;
  EXPECT_NE(tail.find("|2.50||"), std::string::npos) << tail;
}

TEST_F(SatemuRun, CommandLineErrors) {
  auto run = [&](const std::string &args) {
    const std::string cmd =
        std::string(SATEMU_BINARY) + " " + args + " >" + (dir_ / "out").string() + " 2>&1";
    const int status = std::system(cmd.c_str());
    std::ifstream in(dir_ / "out");
    std::stringstream ss;
    ss << in.rdbuf();
    return std::make_pair(WEXITSTATUS(status), ss.str());
  };
  auto [rc, out] = run("--help");
  EXPECT_EQ(rc, 0);
  EXPECT_NE(out.find("--link PATH"), std::string::npos);
  EXPECT_NE(out.find("salereply"), std::string::npos);
  std::tie(rc, out) = run("");
  EXPECT_EQ(rc, 2);
  std::tie(rc, out) = run("--link x --fault nosuch");
  EXPECT_EQ(rc, 2);
  EXPECT_NE(out.find("unknown fault"), std::string::npos);
  std::ofstream(dir_ / "plainfile") << "x";
  std::tie(rc, out) = run("--link " + (dir_ / "plainfile").string());
  EXPECT_EQ(rc, 1);
  EXPECT_NE(out.find("not a symbolic link"), std::string::npos);
  std::tie(rc, out) = run("--device " + (dir_ / "nodevice").string());
  EXPECT_EQ(rc, 1);
  EXPECT_NE(out.find("cannot open"), std::string::npos);
}

}  // namespace
}  // namespace satemu
