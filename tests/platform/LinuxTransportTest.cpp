// The transport behaviour suites on the Linux backend.
#include "HttpBehaviour.hpp"
#include "LinuxBackend.hpp"
#include "SignalingBehaviour.hpp"

namespace murel::test {

INSTANTIATE_TYPED_TEST_SUITE_P(Linux, HttpBehaviour, LinuxBackend);
INSTANTIATE_TYPED_TEST_SUITE_P(Linux, SignalingBehaviour, LinuxBackend);

}  // namespace murel::test
