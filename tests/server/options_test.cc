#include "server/options.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

namespace pendrakel::server {
namespace {

struct Parsed {
  ParsedCommandLine result;
  std::string out;
  std::string err;
};

Parsed Parse(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  Parsed parsed{ParseOptions(args, "/opt/x/pendrakel.so", out, err), "", ""};
  parsed.out = out.str();
  parsed.err = err.str();
  return parsed;
}

// The numbers of the README's table of flags, written out: a change of a
// default has to change the documentation too.
TEST(Options, DefaultsAreTheDocumentedNumbers) {
  const Parsed parsed = Parse({});
  ASSERT_TRUE(parsed.result.options);
  const HostOptions& options = *parsed.result.options;
  EXPECT_EQ(FormatEndpoint(options.listen), "127.0.0.1:8080");
  EXPECT_EQ(options.module_path, "/opt/x/pendrakel.so");
  EXPECT_EQ(options.max_head_bytes, 16384u);
  EXPECT_EQ(options.max_body_bytes, 67108864u);
  EXPECT_EQ(options.preload_bytes, 49152u);
  EXPECT_EQ(options.read_timeout, std::chrono::seconds(30));
  EXPECT_EQ(options.write_timeout, std::chrono::seconds(30));
  EXPECT_EQ(options.head_timeout, std::chrono::seconds(20));
  EXPECT_EQ(options.idle_timeout, std::chrono::seconds(60));
  EXPECT_EQ(options.shutdown_grace, std::chrono::seconds(5));
  EXPECT_EQ(options.max_upload_bytes, 1073741824u);
  EXPECT_EQ(options.min_upload_rate, 1024u);
  EXPECT_EQ(options.min_upload_average, 16384u);
  EXPECT_EQ(options.max_connections, 4096);
  EXPECT_EQ(options.drain_limit_bytes, 1048576u);
  EXPECT_GE(options.io_threads, 1);
}

TEST(Options, FlagsOverrideDefaults) {
  const Parsed parsed =
      Parse({"--listen", "[::1]:0", "--module", "m.so", "--max-body",
             "4294967294", "--threads", "3", "--read-timeout", "2"});
  ASSERT_TRUE(parsed.result.options) << parsed.err;
  EXPECT_EQ(FormatEndpoint(parsed.result.options->listen), "[::1]:0");
  EXPECT_EQ(parsed.result.options->module_path, "m.so");
  EXPECT_EQ(parsed.result.options->max_body_bytes, 4294967294u);
  EXPECT_EQ(parsed.result.options->io_threads, 3);
  EXPECT_EQ(parsed.result.options->read_timeout, std::chrono::seconds(2));
}

TEST(Options, BadCommandLinesGiveOneLineAndExitTwo) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--max-body", "4294967295"},
                                             {"--threads", "0"},
                                             {"--listen", "8080"},
                                             {"--listen", "127.0.0.1:65536"},
                                             {"--listen", "::1:80"},
                                             {"--listen", "example.org:80"},
                                             {"--no-such-flag"},
                                             {"--read-timeout", "0"},
                                             {"--max-upload-bytes", "0"},
                                             {"--upload-threads", "16"},
                                             {"--listen", "none"},
                                             {"--tls-listen", "127.0.0.1:1"},
                                             {"--tls-cert", "c.pem"},
                                             {"--tls-key", "k.pem"}}) {
    const Parsed parsed = Parse(args);
    EXPECT_FALSE(parsed.result.options) << args[0];
    EXPECT_EQ(parsed.result.exit_code, 2) << args[0];
    EXPECT_EQ(parsed.err.find('\n'), parsed.err.size() - 1) << parsed.err;
  }
}

TEST(Options, TlsPortAloneWithListenNone) {
  const Parsed parsed = Parse({"--listen", "none", "--tls-listen", "[::1]:8443",
                               "--tls-cert", "c.pem"});
  ASSERT_TRUE(parsed.result.options) << parsed.err;
  EXPECT_FALSE(parsed.result.options->plain_listen);
  EXPECT_EQ(FormatEndpoint(*parsed.result.options->tls_listen), "[::1]:8443");
  EXPECT_EQ(parsed.result.options->tls_cert, "c.pem");
  EXPECT_TRUE(parsed.result.options->tls_key.empty());
}

TEST(Options, TheRemovedUploadThreadsFlagNamesWhatReplacedIt) {
  const Parsed parsed = Parse({"--upload-threads", "4"});
  EXPECT_NE(parsed.err.find("--max-upload-bytes"), std::string::npos)
      << parsed.err;
}

TEST(Options, HelpAndVersionExitZero) {
  const Parsed help = Parse({"--help"});
  EXPECT_FALSE(help.result.options);
  EXPECT_EQ(help.result.exit_code, 0);
  EXPECT_NE(help.out.find("--max-body"), std::string::npos);
  EXPECT_EQ(help.out.find("--upload-threads"), std::string::npos);
  const Parsed version = Parse({"--version"});
  EXPECT_EQ(version.result.exit_code, 0);
  EXPECT_EQ(version.out.rfind("pendrakel-host ", 0), 0u);
}

TEST(Options, ListenAddressForms) {
  EXPECT_EQ(FormatEndpoint(*ParseListenAddress("localhost:1")), "127.0.0.1:1");
  EXPECT_EQ(FormatEndpoint(*ParseListenAddress("0.0.0.0:0")), "0.0.0.0:0");
  EXPECT_FALSE(ParseListenAddress("127.0.0.1:"));
  EXPECT_FALSE(ParseListenAddress("127.0.0.1:-1"));
}

}  // namespace
}  // namespace pendrakel::server
