// The shared platform behaviour suites on the Windows backend.
#include "WindowsBackend.hpp"

#include "CredentialBehaviour.hpp"
#include "HttpBehaviour.hpp"
#include "SignalingBehaviour.hpp"

namespace murel::test {

namespace {
const WinsockStarted winsock;
}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Windows, HttpBehaviour, WindowsBackend);
INSTANTIATE_TYPED_TEST_SUITE_P(Windows, SignalingBehaviour, WindowsBackend);
INSTANTIATE_TYPED_TEST_SUITE_P(Windows, CredentialBehaviour, WindowsBackend);

}  // namespace murel::test
