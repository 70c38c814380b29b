// A scratch folder with a virtual cable and a desktop folder, the server
// started on one end and the handheld simulator run on the other.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "tests/tools/child_process.h"
#include "tools/cable/virtual_cable.h"

namespace ql::testing {

class LinkOnCable : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(scratch_.path().empty());
    std::string error;
    cable_ = VirtualCable::Create(scratch_.path().string(), error);
    ASSERT_NE(cable_, nullptr) << error;
    desktop_ = scratch_.path() / "desktop";
    fs::create_directories(desktop_);
    // Lock files, the default settings and the default drive stay inside the test's folder.
    home_ = scratch_.path() / "home";
    env_ = {{"XDG_RUNTIME_DIR", (scratch_.path() / "run").string()},
            {"XDG_CONFIG_HOME", (scratch_.path() / "config").string()},
            {"HOME", home_.string()}};
    fs::create_directories(scratch_.path() / "run");
    fs::create_directories(home_);
  }

  std::string ServerEnd() const { return cable_->DevicePath(VirtualCable::kServerEnd); }
  std::string HandheldEnd() const { return cable_->DevicePath(VirtualCable::kHandheldEnd); }
  fs::path SettingsFile() const { return scratch_.path() / "Quarnelix_link.ini"; }

  std::vector<std::string> ServerArgs(std::vector<std::string> extra = {}) const {
    std::vector<std::string> args = {QL_LINK_PROGRAM,
                                     "--port",
                                     ServerEnd(),
                                     "--speed",
                                     "115200",
                                     "--drive",
                                     "C=" + desktop_.string(),
                                     "--settings",
                                     SettingsFile().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  // The server, ready to serve.
  // The server, ready to serve (with standard output on `terminal`, the server
  // is only started: the caller reads what it writes there).
  std::unique_ptr<ChildProcess> StartServer(const std::string& name = "server",
                                            const std::vector<std::string>& extra = {},
                                            const std::string& terminal = std::string()) {
    auto server =
        std::make_unique<ChildProcess>(ServerArgs(extra), scratch_.path(), name, env_, terminal);
    EXPECT_TRUE(server->Started());
    if (terminal.empty()) {
      EXPECT_TRUE(server->AwaitOutput(" opened.", std::chrono::seconds(10)))
          << server->Out() << server->Err();
    }
    return server;
  }

  Finished Peer(std::vector<std::string> args, const std::string& name = "peer") {
    const std::vector<std::string> head = {QL_PEER_PROGRAM, "--port", HandheldEnd(), "--speed",
                                           "115200"};
    args.insert(args.begin(), head.begin(), head.end());
    return RunToEnd(args, scratch_.path(), name, env_);
  }

  ScratchFolder scratch_;
  std::unique_ptr<VirtualCable> cable_;
  fs::path desktop_;
  fs::path home_;
  std::map<std::string, std::string> env_;
};

}  // namespace ql::testing
