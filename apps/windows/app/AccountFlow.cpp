// The account flow: sign-in, sign-up, restoring a saved credential, signing out, and the release
// of the installed credential.

#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "app/Controller.hpp"
#include "app/ControllerText.hpp"
#include "protocol/ControlApi.hpp"
#include "protocol/Wipe.hpp"

namespace murel::app {

namespace {

void wipeTokens(SavedCredential& credential) noexcept {
    wipe(credential.account.token);
    wipe(credential.device.token);
}

// Wipes the tokens of a credential that never gets installed, on every path.
class WipeCredentialOnExit {
public:
    explicit WipeCredentialOnExit(std::optional<SavedCredential>& credential) : credential_(credential) {}
    ~WipeCredentialOnExit() {
        if (credential_) wipeTokens(*credential_);
    }
    WipeCredentialOnExit(const WipeCredentialOnExit&) = delete;
    WipeCredentialOnExit& operator=(const WipeCredentialOnExit&) = delete;

private:
    std::optional<SavedCredential>& credential_;
};

}  // namespace

void Controller::signIn(Command& command) {
    const bool restore = command.kind == CommandKind::Restore;

    // Reconnecting the installed identity needs neither the service nor the saved entry.
    if (restore && credential_ && command.server.empty() && command.email.empty()) {
        signOut(false);
        connectSignaling();
        return;
    }

    ServerOrigin origin = parseServerOrigin(command.server);

    if (restore && credential_ && origin_ && origin_->origin == origin.origin &&
        working_.accountEmail == command.email && credential_->host == command.hostRole) {
        signOut(false);
        connectSignaling();
        return;
    }

    signOut(false);

    std::unique_ptr<Http> http = platform_.makeHttp(origin);
    auto store = std::make_unique<CredentialStore>(*platform_.credentialVault, platform_.sha256);
    std::string target = store->credentialTarget(origin.origin, command.email, command.hostRole);

    std::optional<SavedCredential> fresh;
    WipeCredentialOnExit wipeFresh(fresh);
    bool reusedRegistration = false;
    if (restore) {
        fresh = store->readCredential(target);
        if (!fresh) throw ProtocolError(text::kNoSavedCredential);
        if (fresh->host != command.hostRole) throw ProtocolError(text::kRoleMismatch);
    } else {
        // Copied rather than moved: a move leaves most of a short password in the command.
        std::string password = command.password;
        wipePassword(command.password);
        WipeOnExit wipeOnExit(password);
        AccountCredential account =
            requestAuth(*http, command.kind == CommandKind::SignUp, command.email, password);
        wipe(password);
        fresh = SavedCredential{std::move(account), DeviceCredential{}, command.hostRole};

        // A saved registration of the same user and role is reused. An entry that cannot be read
        // is treated as absent: the new one overwrites it, where refusing would lock the user out
        // for good.
        std::optional<SavedCredential> saved;
        WipeCredentialOnExit wipeSaved(saved);
        try {
            saved = store->readCredential(target);
        } catch (const std::exception&) {
            saved.reset();
        }
        if (saved && saved->account.userId == fresh->account.userId && saved->host == command.hostRole) {
            fresh->device = saved->device;
            reusedRegistration = true;
        } else {
            fresh->device = requestDeviceRegistration(*http, fresh->account.token, command.deviceName,
                                                      command.hostRole, platform_.deviceKind);
        }
        store->saveCredential(target, *fresh);
    }

    // The name shown stays while the same device of the same server signs in again.
    std::string keptName;
    if (credential_ && origin_ && origin_->origin == origin.origin &&
        credential_->device.id == fresh->device.id) {
        keptName = working_.deviceName;
    }

    clearCredential();
    http_ = std::move(http);
    store_ = std::move(store);
    storeTarget_ = std::move(target);
    credential_ = std::move(fresh);
    fresh.reset();
    origin_ = std::move(origin);
    working_.accountEmail = command.email;
    working_.deviceName = std::move(keptName);

    try {
        connectSignaling();
    } catch (const SignalingUpgradeRejected& rejected) {
        if (!reusedRegistration || rejected.status() != kUpgradeUnauthorized) throw;
        // The service no longer knows the saved registration (removed elsewhere or expired). The
        // password just proved the account, so register this device anew, once; otherwise every
        // later sign-in would reuse the dead entry and never come online.
        registerDeviceAgain(command);
        connectSignaling();
    }
}

void Controller::registerDeviceAgain(const Command& command) {
    DeviceCredential device = requestDeviceRegistration(*http_, credential_->account.token, command.deviceName,
                                                        command.hostRole, platform_.deviceKind);
    wipe(credential_->device.token);
    credential_->device = std::move(device);
    store_->saveCredential(storeTarget_, *credential_);
    working_.deviceName.clear();
}

void Controller::signOut(bool full) {
    ++signalingGeneration_;  // events still queued by the old socket are skipped from now on
    endSession(false);
    if (socket_) {
        socket_->close();
        socket_.reset();
    }
    stopHosting();
    if (signaling_) {
        signaling_->reset();
        signaling_.reset();
    }
    working_.hosts.clear();
    finishPendingOperation();
    if (!full) return;

    std::string note;
    if (credential_ && http_) {
        try {
            requestDeviceRemoval(*http_, credential_->account.token, credential_->device.id);
        } catch (...) {
            note += text::kRevocationFailed;
        }
        try {
            requestLogout(*http_, credential_->account.token);
        } catch (...) {
            note += text::kLogoutIncomplete;
        }
    }
    if (store_) {
        try {
            store_->removeCredential(storeTarget_);
        } catch (...) {
            note += text::kRemovalFailed;
        }
    }
    clearCredential();
    if (note.empty()) {
        setStatus(text::kSignedOut);
    } else {
        setStatus(text::kSignedOutLocally);
        setError(std::move(note));
    }
}

void Controller::clearCredential() {
    if (credential_) wipeTokens(*credential_);
    credential_.reset();
    origin_.reset();
    store_.reset();
    storeTarget_.clear();
    http_.reset();
    working_.accountEmail.clear();
    working_.deviceName.clear();
    working_.deviceId.clear();
}

}  // namespace murel::app
