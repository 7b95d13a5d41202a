#pragma once
// Control identifiers of the main window, the viewer and the stream settings dialog.

namespace murel::ui {

// Main window.
inline constexpr int kIdServer = 101;
inline constexpr int kIdEmail = 102;
inline constexpr int kIdPassword = 103;
inline constexpr int kIdDeviceName = 104;
inline constexpr int kIdHostRole = 105;
inline constexpr int kIdSubmit = 106;
inline constexpr int kIdToggleSignUp = 107;
inline constexpr int kIdRestore = 108;
inline constexpr int kIdSignOut = 109;
inline constexpr int kIdRefresh = 110;
inline constexpr int kIdHosting = 111;
inline constexpr int kIdLine = 112;
inline constexpr int kIdOpenSettings = 113;
inline constexpr int kIdSettingsDone = 114;
inline constexpr int kIdEmailLabel = 115;
inline constexpr int kIdPasswordLabel = 116;
inline constexpr int kIdServerLabel = 117;
inline constexpr int kIdDeviceNameLabel = 118;
inline constexpr int kIdPasswordHint = 119;
inline constexpr int kIdOriginCaption = 120;
inline constexpr int kIdThisPcName = 121;
inline constexpr int kIdThisPcState = 122;
inline constexpr int kIdAccountLine = 123;
inline constexpr int kIdSessionLine = 124;
inline constexpr int kIdShowViewer = 125;
inline constexpr int kIdEndSession = 126;

// Viewer window.
inline constexpr int kIdForwarding = 127;
inline constexpr int kIdFullscreen = 128;
inline constexpr int kIdViewerClose = 129;
inline constexpr int kIdViewerSettings = 130;

// Stream settings dialog.
inline constexpr int kIdDialogTitle = 131;
inline constexpr int kIdNativeLine = 132;
inline constexpr int kIdModeLabel = 133;
inline constexpr int kIdModeCombo = 134;
inline constexpr int kIdModeHint = 135;
inline constexpr int kIdRequestedLine = 136;
inline constexpr int kIdReceivedLine = 137;
inline constexpr int kIdPresentedLine = 138;
inline constexpr int kIdDialogMessage = 139;
inline constexpr int kIdApply = 140;
inline constexpr int kIdDialogClose = 2;  // IDCANCEL

// Device list: the connect button of row i is 2000 + i.
inline constexpr int kIdFirstConnect = 2000;

}  // namespace murel::ui
