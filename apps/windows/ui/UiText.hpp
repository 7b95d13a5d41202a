#pragma once
// The interface's own words (UTF-8). Status and error texts of the core are shown as they come.

#include <string_view>

namespace murel::ui::text {

// The origin that fills the server fields at start; a deployment puts its own service here.
inline constexpr std::string_view kDefaultServerOrigin = "https://murel.example.com";
inline constexpr std::string_view kEmailCue = "name@example.com";
inline constexpr std::string_view kDefaultDeviceName = "Windows PC";
inline constexpr std::string_view kInitialStatus = "Sign in to your Murel account";

// Main window controls.
inline constexpr std::string_view kEmailLabel = "이메일";
inline constexpr std::string_view kPasswordLabel = "비밀번호";
inline constexpr std::string_view kPasswordCue = "비밀번호 입력";
inline constexpr std::string_view kPasswordHint = "12–72바이트 (영문·숫자 기준 12–72자)";
inline constexpr std::string_view kSignIn = "로그인";
inline constexpr std::string_view kToSignUp = "처음 사용하시나요? 계정 만들기";
inline constexpr std::string_view kToSignIn = "이미 계정이 있어요";
inline constexpr std::string_view kCreateAccount = "계정 만들기";
inline constexpr std::string_view kConnecting = "연결 중…";
inline constexpr std::string_view kUseSaved = "저장된 로그인 사용";
inline constexpr std::string_view kConnectionSettings = "연결 설정";
inline constexpr std::string_view kServerLabel = "연결 서버";
inline constexpr std::string_view kDeviceNameLabel = "이 PC의 이름";
inline constexpr std::string_view kHostRole = "이 PC를 호스트로도 사용";
inline constexpr std::string_view kDone = "완료";
inline constexpr std::string_view kThisWindowsPc = "이 Windows PC";
inline constexpr std::string_view kRemoteAccessOff = "원격 접속 꺼짐";
inline constexpr std::string_view kRemoteAccessOn = "원격 접속 허용 중";
inline constexpr std::string_view kClientProfile = "다른 기기에 연결하는 프로필";
inline constexpr std::string_view kHostingOn = "호스트 켜기";
inline constexpr std::string_view kHostingOff = "호스트 끄기";
inline constexpr std::string_view kSignOut = "로그아웃";
inline constexpr std::string_view kRefresh = "새로고침";
inline constexpr std::string_view kShowViewer = "원격 화면 보기";
inline constexpr std::string_view kEndSession = "연결 종료";
inline constexpr std::string_view kSharingThisPc = "이 PC의 화면을 공유하고 있습니다";
inline constexpr std::string_view kViewerOpen = "원격 화면이 전용 창에서 열려 있습니다";
inline constexpr std::string_view kHostListTitle = "내 기기 목록";

// Line 112.
inline constexpr std::string_view kEnterEmail = "이메일을 입력해 주세요.";
inline constexpr std::string_view kEnterPassword = "비밀번호를 입력해 주세요.";
inline constexpr std::string_view kPasswordLength = "비밀번호는 12–72바이트로 입력해 주세요.";
inline constexpr std::string_view kPostRefused = "기기 상태를 갱신 중입니다. 잠시 후 다시 시도해 주세요.";
inline constexpr std::string_view kPreparing = "연결을 준비하고 있습니다…";
inline constexpr std::string_view kManageSession = "연결된 세션을 관리하세요.";
inline constexpr std::string_view kConnectToDevices = "같은 계정의 기기에 연결하세요.";
inline constexpr std::string_view kDisconnected = "연결이 끊겼습니다. 새로고침으로 다시 연결하세요.";
inline constexpr std::string_view kViewerUnavailable = "원격 화면 창을 열 수 없습니다.";

// Main window painting.
inline constexpr std::string_view kLogo = "M U R E L";
inline constexpr std::string_view kHeroTitle = "내 기기를\n한곳에서.";
inline constexpr std::string_view kHeroBody = "이 PC에서 연결을 준비하고\n다른 기기에서 작업을 이어가세요.";
inline constexpr std::string_view kHeroFooter = "어디서든 내 기기에 연결하세요.";
inline constexpr std::string_view kWelcomeBack = "다시 만나서 반가워요";
inline constexpr std::string_view kSettingsSubtitle = "접속할 서버와 이 PC의 이름을 설정하세요.";
inline constexpr std::string_view kSignInSubtitle = "같은 계정으로 로그인한 기기에 연결하세요.";
inline constexpr std::string_view kMyDevices = "내 기기";
inline constexpr std::string_view kThisPc = "이 PC";
inline constexpr std::string_view kListNote = "같은 계정의 기기만 이 목록에 표시됩니다.";
inline constexpr std::string_view kOnline = "● 온라인";
inline constexpr std::string_view kOffline = "● 연결 끊김";

// Device list.
inline constexpr std::string_view kStateOffline = "오프라인";
inline constexpr std::string_view kStateBusy = "사용 중";
inline constexpr std::string_view kStateReady = "연결 가능";
inline constexpr std::string_view kStateHostOff = "호스트 꺼짐";
inline constexpr std::string_view kSuffixMac = " · macOS";
inline constexpr std::string_view kSuffixWindows = " · Windows";
inline constexpr std::string_view kSuffixThisDevice = " · 이 기기";
inline constexpr std::string_view kConnectTo = "에 연결";
inline constexpr std::string_view kConnect = "연결";
inline constexpr std::string_view kThisDevice = "이 기기";
inline constexpr std::string_view kEmptyTitle = "연결할 기기를 추가하세요";
inline constexpr std::string_view kEmptyBody = "다른 Mac 또는 Windows PC에서\n같은 계정으로 로그인하고 호스트를 켜세요.";

// Viewer window.
inline constexpr std::string_view kViewerTitle = "Murel 원격 화면";
inline constexpr std::string_view kViewerTitlePrefix = "Murel · ";
inline constexpr std::string_view kSurfaceName = "원격 화면";
inline constexpr std::string_view kForwarding = "입력 전달";
inline constexpr std::string_view kStreamSettings = "화면 설정";
inline constexpr std::string_view kFullscreen = "전체 화면";
inline constexpr std::string_view kWindowed = "창 모드";
inline constexpr std::string_view kFullscreenTip = "전체 화면 (F11)";
inline constexpr std::string_view kWindowedTip = "창 모드 (F11)";
inline constexpr std::string_view kConnectedStatus = "연결됨 · 원격 화면";
inline constexpr std::string_view kFooterHint = "화면 클릭으로 입력 · Ctrl + Alt + Esc로 입력 해제 · F11 전체 화면";
inline constexpr std::string_view kWaitingFirstFrame = "첫 화면을 기다리고 있습니다";
inline constexpr std::string_view kWaitingDetail = "연결되면 이 창에 원격 화면이 표시됩니다.";

// Stream settings dialog.
inline constexpr std::string_view kDialogTitle = "화면 설정";
inline constexpr std::string_view kNativeWaiting = "Native · 호스트의 화면 정보를 기다리고 있습니다";
inline constexpr std::string_view kModeLabel = "해상도 · 프레임 속도 (&M)";
inline constexpr std::string_view kModeCue = "해상도 · FPS 선택";
inline constexpr std::string_view kModeHint =
    "호스트가 지원하는 조합만 표시합니다.\n화면 비율을 유지하며, 최대 240 FPS까지 선택할 수 있습니다.";
inline constexpr std::string_view kClose = "닫기";
inline constexpr std::string_view kApply = "적용";
inline constexpr std::string_view kCodecPending = "코덱 확인 중";
inline constexpr std::string_view kApplying = "선택한 설정을 적용하고 있습니다…";
inline constexpr std::string_view kMeasuredRates =
    "디코딩·출력 요청의 실측 FPS입니다.\n모니터의 실제 주사율을 의미하지 않습니다.";
inline constexpr std::string_view kChooseMode = "해상도와 FPS를 선택하세요.";
inline constexpr std::string_view kWaitingModes = "호스트가 지원하는 화면 설정을 기다리고 있습니다.";
inline constexpr std::string_view kSendFailed = "설정을 전송하지 못했습니다. 잠시 후 다시 시도해 주세요.";

}  // namespace murel::ui::text
