#pragma once

#include <gtest/gtest.h>

#include "support/NamespacePair.h"
#include "support/Network.h"

// True when the tests run in CI (CI=true or CI=1), where every tool, root and network
// namespaces are there by arrangement.
bool RunningInCi();

// For a test that cannot run here for lack of root, a network namespace or a tool: skipped on
// a developer's machine, a failure in CI, where a skip would hide that nothing was tested.
// Use it in a test body or SetUp; `what` is streamed after "needs ".
#define ZW_SKIP_FOR_LACK_OF(what)                                       \
    do {                                                                \
        if (RunningInCi()) {                                            \
            FAIL() << "CI must provide what this test needs: " << what; \
        }                                                               \
        GTEST_SKIP() << "needs " << what;                               \
    } while (0)

// This test process in a network namespace of its own (EnterOwnNetworkNamespace), or skipped.
#define ZW_ENTER_OWN_NETWORK()                                              \
    do {                                                                    \
        if (!EnterOwnNetworkNamespace()) {                                  \
            ZW_SKIP_FOR_LACK_OF("root for a network namespace of its own"); \
        }                                                                   \
    } while (0)

// Two namespaces joined by a veth pair, made in `pair` (a std::optional<NamespacePair>), or
// skipped.
#define ZW_MAKE_NAMESPACE_PAIR(pair)                                               \
    do {                                                                           \
        if (!IsRealRoot()) {                                                       \
            ZW_SKIP_FOR_LACK_OF("root for two network namespaces (ip netns add)"); \
        }                                                                          \
        ASSERT_TRUE((pair).emplace().ok()) << "could not set up the namespaces";   \
    } while (0)

// Called by the test programs' main before the tests run. In CI, a test of the plain build
// that skipped by any path (a plain GTEST_SKIP too) is turned into a failure, so nothing can
// pass there untested. The sanitizer builds may skip deliberately (a test whose checks the
// sanitizers cannot run), so there only ZW_SKIP_FOR_LACK_OF fails.
void FailSkipsInCi();
