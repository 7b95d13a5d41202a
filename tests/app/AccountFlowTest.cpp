// Sign-in, sign-up, restore and sign-out against a scripted control service and vault.
#include <gtest/gtest.h>

#include "ControllerFixture.hpp"
#include "platform/CredentialStore.hpp"

namespace murel::app::test {
namespace {

SavedCredential savedCredential(const std::string& userId, const std::string& deviceId, bool host) {
    return SavedCredential{AccountCredential{"saved-account-token", userId, "2030-01-01T00:00:00Z"},
                           DeviceCredential{deviceId, "saved-device-token", "2030-01-01T00:00:00Z"}, host};
}

TEST_F(ControllerTest, SignInRegistersTheDeviceSavesItAndWaitsForTheHello) {
    scriptAccount();
    start();
    Status status = run(signInCommand(CommandKind::SignIn, true));

    EXPECT_EQ(status.error, "");
    EXPECT_EQ(status.message, "Authenticated; waiting for device signaling hello");
    EXPECT_TRUE(status.signedIn);
    EXPECT_TRUE(status.hostProfile);
    EXPECT_FALSE(status.online);
    EXPECT_EQ(status.accountEmail, kEmail);
    EXPECT_EQ(status.deviceId, "device-1");

    const auto requests = fake.service->requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/v1/auth/login");
    EXPECT_EQ(requests[0].body["email"], kEmail);
    EXPECT_EQ(requests[0].body["password"], "correct horse battery staple");
    EXPECT_EQ(requests[1].path, "/v1/devices");
    EXPECT_EQ(requests[1].bearer, "account-token-user-1");
    EXPECT_EQ(requests[1].body["name"], "Windows PC");
    EXPECT_EQ(requests[1].body["can_host"], true);

    ASSERT_EQ(fake.signaling->count(), 1u);
    EXPECT_EQ(fake.signaling->last()->token, "device-token-device-1");
    EXPECT_EQ(fake.signaling->last()->origin.origin, parseServerOrigin(kServer).origin);

    // Saved under the host role's entry, and only there.
    CredentialStore store(*fake.vault, fakeSha256);
    const auto saved = store.readCredential(target(true));
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->device.id, "device-1");
    EXPECT_TRUE(saved->host);
    EXPECT_EQ(fake.vault->size(), 1u);

    // The hello brings the device online, and the first pass after it lists the devices.
    deliver(fake.signaling->last(), makeHelloMessage("device-1"));
    status = waitStatus([](const Status& s) { return s.online && !s.hosts.empty(); });
    EXPECT_EQ(status.message, "Device online; select a ready host or enable hosting");
    EXPECT_EQ(status.deviceName, "Study PC");
    EXPECT_EQ(fake.service->count("GET /v1/hosts"), 1u);
    EXPECT_EQ(fake.service->requests().back().bearer, "device-token-device-1");
}

TEST_F(ControllerTest, SignUpUsesTheRegisterRequest) {
    scriptAccount();
    start();
    const Status status = run(signInCommand(CommandKind::SignUp));
    EXPECT_TRUE(status.signedIn);
    EXPECT_EQ(fake.service->count("POST /v1/auth/register"), 1u);
    EXPECT_EQ(fake.service->count("POST /v1/auth/login"), 0u);
}

TEST_F(ControllerTest, SignInReusesASavedRegistrationOfTheSameUserAndRole) {
    scriptAccount("user-1", "device-new");
    start();
    CredentialStore(*fake.vault, fakeSha256).saveCredential(target(), savedCredential("user-1", "device-saved", false));

    const Status status = run(signInCommand());
    EXPECT_TRUE(status.signedIn);
    EXPECT_EQ(status.deviceId, "device-saved");
    EXPECT_EQ(fake.service->count("POST /v1/devices"), 0u);
    EXPECT_EQ(fake.signaling->last()->token, "saved-device-token");
    // The entry now carries the fresh account token with the kept device.
    const auto saved = CredentialStore(*fake.vault, fakeSha256).readCredential(target());
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->account.token, "account-token-user-1");
    EXPECT_EQ(saved->device.id, "device-saved");
}

TEST_F(ControllerTest, ASavedRegistrationTheServiceRefusesIsReplacedOnceOnPasswordSignIn) {
    scriptAccount("user-1", "device-new");
    start();
    CredentialStore(*fake.vault, fakeSha256).saveCredential(target(), savedCredential("user-1", "device-saved", false));
    fake.signaling->refuseToken("saved-device-token", kUpgradeUnauthorized);

    // Restoring has no password to prove the account: the refusal is reported, nothing registered.
    Command restore = signInCommand(CommandKind::Restore);
    restore.password.clear();
    Status status = run(restore);
    EXPECT_EQ(status.error, "Signaling upgrade rejected; sign in again or disconnect the other instance");
    EXPECT_EQ(fake.service->count("POST /v1/devices"), 0u);

    status = run(signInCommand());
    EXPECT_EQ(status.error, "");
    EXPECT_EQ(status.message, "Authenticated; waiting for device signaling hello");
    EXPECT_EQ(status.deviceId, "device-new");
    EXPECT_EQ(fake.service->count("POST /v1/devices"), 1u);
    EXPECT_EQ(fake.signaling->refusals(), 2u);
    EXPECT_EQ(fake.signaling->last()->token, "device-token-device-new");
    const auto saved = CredentialStore(*fake.vault, fakeSha256).readCredential(target());
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->device.id, "device-new");
    EXPECT_EQ(saved->account.token, "account-token-user-1");
    deliver(fake.signaling->last(), makeHelloMessage("device-new"));
    waitStatus([](const Status& s) { return s.online; });
}

TEST_F(ControllerTest, AConflictOrARefusedFreshRegistrationIsReportedWithoutRegisteringAgain) {
    scriptAccount("user-1", "device-new");
    start();
    CredentialStore(*fake.vault, fakeSha256).saveCredential(target(), savedCredential("user-1", "device-saved", false));
    // Another instance of the saved device is connected: registering a second device would not help.
    fake.signaling->refuseToken("saved-device-token", kUpgradeConflict);
    Status status = run(signInCommand());
    EXPECT_EQ(status.error, "Signaling upgrade rejected; sign in again or disconnect the other instance");
    EXPECT_EQ(status.message, "Device offline; refresh to reconnect");
    EXPECT_EQ(fake.service->count("POST /v1/devices"), 0u);
    EXPECT_EQ(status.deviceId, "device-saved");

    // A registration made by this very sign-in that is refused is not retried.
    fake.vault->remove(target());
    fake.signaling->refuseToken("device-token-device-new", kUpgradeUnauthorized);
    status = run(signInCommand());
    EXPECT_EQ(status.error, "Signaling upgrade rejected; sign in again or disconnect the other instance");
    EXPECT_EQ(fake.service->count("POST /v1/devices"), 1u);
    EXPECT_EQ(fake.signaling->refusals(), 2u);
}

TEST_F(ControllerTest, SignInRegistersAgainWhenTheSavedEntryBelongsToAnotherUser) {
    scriptAccount("user-1", "device-new");
    start();
    CredentialStore(*fake.vault, fakeSha256).saveCredential(target(), savedCredential("user-0", "device-old", false));

    const Status status = run(signInCommand());
    EXPECT_EQ(status.deviceId, "device-new");
    EXPECT_EQ(fake.service->count("POST /v1/devices"), 1u);
}

TEST_F(ControllerTest, AnUnreadableSavedEntryDoesNotLockThePasswordSignInOut) {
    scriptAccount();
    start();
    fake.vault->put(target(), "{not a credential");

    const Status status = run(signInCommand());
    EXPECT_EQ(status.error, "");
    EXPECT_TRUE(status.signedIn);
    EXPECT_EQ(fake.service->count("POST /v1/devices"), 1u);
    // Replaced by a good entry.
    EXPECT_TRUE(CredentialStore(*fake.vault, fakeSha256).readCredential(target()).has_value());
}

TEST_F(ControllerTest, RestoreInstallsTheSavedCredentialWithoutAskingTheService) {
    start();
    CredentialStore(*fake.vault, fakeSha256).saveCredential(target(true), savedCredential("user-1", "device-7", true));

    Command restore = signInCommand(CommandKind::Restore, true);
    restore.password.clear();
    const Status status = run(std::move(restore));
    EXPECT_EQ(status.error, "");
    EXPECT_TRUE(status.signedIn);
    EXPECT_TRUE(status.hostProfile);
    EXPECT_EQ(status.deviceId, "device-7");
    EXPECT_TRUE(fake.service->requests().empty());
    EXPECT_EQ(fake.signaling->last()->token, "saved-device-token");
}

TEST_F(ControllerTest, RestoreRefusesAMissingOrMismatchedSavedEntry) {
    start();
    Status status = run(signInCommand(CommandKind::Restore));
    EXPECT_EQ(status.error, "No saved credential for this server, account and role");
    EXPECT_EQ(status.message, "Sign in to your Murel account");
    EXPECT_FALSE(status.signedIn);

    // A host record found under the viewer-only entry.
    CredentialStore(*fake.vault, fakeSha256).saveCredential(target(false), savedCredential("user-1", "device-7", true));
    status = run(signInCommand(CommandKind::Restore, false));
    EXPECT_EQ(status.error, "Saved device role mismatch");
    EXPECT_FALSE(status.signedIn);
    EXPECT_EQ(fake.signaling->count(), 0u);
}

TEST_F(ControllerTest, RestoreOfTheInstalledIdentityOnlyReconnectsSignaling) {
    scriptAccount();
    start();
    signInOnline();
    const auto requestsBefore = fake.service->requests().size();
    const int readsBefore = fake.vault->reads();

    // Empty server and e-mail: the installed credential as it is.
    Command quick(CommandKind::Restore);
    Status status = run(std::move(quick));
    EXPECT_EQ(status.error, "");
    EXPECT_EQ(status.message, "Authenticated; waiting for device signaling hello");
    EXPECT_FALSE(status.online);
    EXPECT_EQ(fake.signaling->count(), 2u);
    EXPECT_TRUE(fake.signaling->socket(0)->closed());

    // The same server, e-mail and role: no Credential Manager read either.
    Command same = signInCommand(CommandKind::Restore);
    same.password.clear();
    status = run(std::move(same));
    EXPECT_EQ(status.error, "");
    EXPECT_EQ(fake.signaling->count(), 3u);
    EXPECT_EQ(fake.vault->reads(), readsBefore);
    EXPECT_EQ(fake.service->requests().size(), requestsBefore);
    EXPECT_EQ(status.deviceId, "device-1");
}

TEST_F(ControllerTest, SigningInAgainKeepsTheDeviceNameOnlyForTheSameDevice) {
    scriptAccount();
    start();
    Status status = signInOnline();
    ASSERT_EQ(status.deviceName, "Study PC");

    status = run(signInCommand());  // reuses the saved registration: same device
    EXPECT_EQ(status.deviceName, "Study PC");

    // A different user: a new registration, the name is unknown until the next device list.
    scriptAccount("user-2", "device-2");
    fake.service->hold("GET /v1/hosts");  // nothing may list the devices in between
    status = run(signInCommand());
    EXPECT_EQ(status.deviceId, "device-2");
    EXPECT_EQ(status.deviceName, "");
    fake.service->release();
}

TEST_F(ControllerTest, AFailedSaveLeavesThePreviousCredentialInstalledButOffline) {
    scriptAccount();
    start();
    signInOnline();
    scriptAccount("user-2", "device-2");
    fake.vault->failWrite = true;

    const Status status = run(signInCommand());
    EXPECT_EQ(status.error, "Save credential failed (Windows error 5)");
    EXPECT_EQ(status.message, "Device offline; refresh to reconnect");
    EXPECT_TRUE(status.signedIn);
    EXPECT_EQ(status.deviceId, "device-1");
    EXPECT_FALSE(status.online);
    EXPECT_TRUE(fake.signaling->socket(0)->closed());
}

TEST_F(ControllerTest, AnInvalidOriginIsReportedWithoutContactingAnything) {
    start();
    Command command = signInCommand();
    command.server = "ftp://control.example";
    const Status status = run(std::move(command));
    EXPECT_EQ(status.error, "Use HTTPS, or HTTP on exact loopback for development");
    EXPECT_TRUE(fake.service->requests().empty());
    EXPECT_EQ(fake.vault->reads(), 0);
}

TEST_F(ControllerTest, SignOutRevokesTheDeviceEndsTheSignInAndRemovesTheSavedEntry) {
    scriptAccount();
    start();
    signInOnline();
    const auto socket = fake.signaling->last();

    const Status status = run(Command(CommandKind::SignOut));
    EXPECT_EQ(status.message, "Signed out; saved credentials removed");
    EXPECT_EQ(status.error, "");
    EXPECT_FALSE(status.signedIn);
    EXPECT_FALSE(status.online);
    EXPECT_TRUE(status.hosts.empty());
    EXPECT_EQ(status.deviceId, "");
    EXPECT_EQ(status.accountEmail, "");
    EXPECT_TRUE(socket->closed());
    EXPECT_FALSE(fake.vault->get(target()).has_value());

    const auto requests = fake.service->requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[requests.size() - 2].method + " " + requests[requests.size() - 2].path,
              "DELETE /v1/devices/device-1");
    EXPECT_EQ(requests[requests.size() - 2].bearer, "account-token-user-1");
    EXPECT_EQ(requests.back().path, "/v1/auth/logout");
    EXPECT_EQ(requests.back().bearer, "account-token-user-1");
}

TEST_F(ControllerTest, SignOutWithTheServiceUnreachableStillSignsOutLocally) {
    scriptAccount();
    start();
    signInOnline();
    fake.service->fail("DELETE /v1/devices/*", "Connect HTTP failed (Windows error 12029)");
    fake.service->fail("POST /v1/auth/logout", "Connect HTTP failed (Windows error 12029)");

    Status status = run(Command(CommandKind::SignOut));
    EXPECT_EQ(status.message, "Signed out locally");
    EXPECT_EQ(status.error,
              "Device revocation failed; its credential remains valid until expiry. Server sign-out incomplete. ");
    EXPECT_FALSE(status.signedIn);
    EXPECT_FALSE(fake.vault->get(target()).has_value());

    // And when the saved entry cannot be removed either, all three notes in order.
    scriptAccount();
    run(signInCommand());
    fake.service->fail("DELETE /v1/devices/*", "Connect HTTP failed (Windows error 12029)");
    fake.service->fail("POST /v1/auth/logout", "Connect HTTP failed (Windows error 12029)");
    fake.vault->failRemove = true;
    status = run(Command(CommandKind::SignOut));
    EXPECT_EQ(status.error,
              "Device revocation failed; its credential remains valid until expiry. Server sign-out incomplete. "
              "Saved credentials could not be removed from Windows Credential Manager.");
    EXPECT_FALSE(status.signedIn);
}

TEST_F(ControllerTest, ARejectedPasswordLeavesNothingInstalled) {
    scriptAccount();
    fake.service->fail("POST /v1/auth/login", "Control service rejected the request (HTTP 401)");
    start();
    const Status status = run(signInCommand());
    EXPECT_EQ(status.error, "Control service rejected the request (HTTP 401)");
    EXPECT_EQ(status.message, "Sign in to your Murel account");
    EXPECT_FALSE(status.signedIn);
    EXPECT_EQ(fake.vault->size(), 0u);
    EXPECT_EQ(fake.signaling->count(), 0u);
}

}  // namespace
}  // namespace murel::app::test
