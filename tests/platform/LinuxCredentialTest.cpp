// The credential store suite on the Linux backend.
#include "CredentialBehaviour.hpp"
#include "LinuxBackend.hpp"

namespace murel::test {

INSTANTIATE_TYPED_TEST_SUITE_P(Linux, CredentialBehaviour, LinuxBackend);

}  // namespace murel::test
