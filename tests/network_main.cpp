// Tests that open sockets run in a network namespace of their own (see harness.h).
#include <gtest/gtest.h>

#include "harness.h"

int main(int argc, char** argv) {
    harness::enter_private_network();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
