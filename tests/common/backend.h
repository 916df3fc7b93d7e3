// The built backend, started as the mail server starts it by the peer
// toolkit's one Backend (tools/peer/backend.h), with its standard error kept
// in an anonymous file for the test to read. The end-to-end and the
// reliability suites drive it through this, each with requests and log
// checks of its own on top.
//
// The backend keeps its real defaults, so it changes its root to
// "/var/spool/mavid" and runs as "_mavidq"; prepare_defaults() makes both
// exist. Single-threaded.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/child.h"
#include "common/root.h"
#include "peer/backend.h"

namespace testutil {

// Makes the backend's account and its root with "tmp" and "temporary",
// through the set-up script an installation uses (which also serialises
// test binaries running in parallel). Empty on success, else why the tests
// must skip.
inline std::string prepare_defaults() {
    if (!testutil::have_root()) {
        return geteuid() == 0 ? "needs root, which MEMQ_TEST_UNPRIVILEGED takes away: the "
                                "account and the spool are not created"
                              : "creating the account and the spool needs root";
    }
    if (system(MEMQ_SOURCE_DIR "/scripts/setup-spool.sh >/dev/null") != 0) {
        return "scripts/setup-spool.sh failed";
    }
    return {};
}

// Starts the built backend as every test does: with the leak checker off in
// it alone (BackendOptions::leak_check says why), under wrapper when one is given
// (valgrind, prlimit, a sandbox). False when the log file, the socketpair
// or the spawn cannot be made.
inline bool start_backend(peer::Backend &backend, std::vector<std::string> wrapper = {}) {
    peer::BackendOptions options;
    options.wrapper = std::move(wrapper);
    options.leak_check = false;
    return backend.start(MEMQ_BINARY, options);
}

// A test of the built backend: skipped, with the reason, where the account
// and the spool cannot be made; otherwise it fails when this process holds
// other descriptors at its end than at its start. A fixture that overrides
// SetUp or TearDown calls these first and last.
class BackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why = prepare_defaults();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        fds_before_ = open_fds();
    }
    void TearDown() override {
        if (!IsSkipped()) {
            EXPECT_EQ(open_fds(), fds_before_) << "a descriptor leaked in the peer";
        }
    }

  private:
    std::vector<int> fds_before_;
};

}  // namespace testutil
