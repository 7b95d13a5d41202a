// Session descriptions: the session part, the line-level parser and the generator.
#include "rtc/Description.hpp"

#include "sdp/SdpText.hpp"

#include <algorithm>
#include <random>
#include <stdexcept>

namespace rtc {
namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::invalid_argument("Invalid SDP: " + what);
}

std::pair<std::string_view, std::string_view> splitAttribute(std::string_view line) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return {line, {}};
    return {line.substr(0, colon), line.substr(colon + 1)};
}

bool matchesAttribute(const std::string& attribute, const std::string& key) {
    return attribute == key || (attribute.size() > key.size() && sdp::startsWith(attribute, key) &&
                                attribute[key.size()] == ':');
}

// Media ids are tokens (RFC 5888); we also cap them where signalling caps them.
bool validMid(std::string_view mid) {
    if (mid.empty() || mid.size() > 255) return false;
    for (char c : mid) {
        auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f) return false;
    }
    return true;
}

void checkIceCredentials(std::string_view ufrag, std::string_view pwd) {
    if (ufrag.size() < 4 || ufrag.size() > 256 || !sdp::isIceChars(ufrag)) fail("bad ice-ufrag");
    if (pwd.size() < 22 || pwd.size() > 256 || !sdp::isIceChars(pwd)) fail("bad ice-pwd");
}

CertificateFingerprint parseFingerprint(std::string_view value, bool& supported) {
    auto fields = sdp::splitFields(value, 2);
    if (fields.size() != 2) fail("bad fingerprint");
    CertificateFingerprint fingerprint;
    auto algorithm = CertificateFingerprint::parseAlgorithm(fields[0]);
    supported = algorithm.has_value();
    if (!supported) return fingerprint;
    fingerprint.algorithm = *algorithm;
    fingerprint.value = std::string(fields[1]);
    for (char& c : fingerprint.value)
        if (c >= 'a' && c <= 'f') c = char(c - 'a' + 'A');
    if (!fingerprint.isValid())
        fail("bad " + CertificateFingerprint::algorithmIdentifier(*algorithm) + " fingerprint");
    return fingerprint;
}

Description::Role parseSetup(std::string_view value) {
    if (value == "actpass") return Description::Role::ActPass;
    if (value == "active") return Description::Role::Active;
    if (value == "passive") return Description::Role::Passive;
    fail("unsupported setup \"" + std::string(value.substr(0, 16)) + "\"");
}

std::string randomSessionId() {
    std::random_device device;
    std::uniform_int_distribution<uint64_t> distribution(1, (uint64_t(1) << 62) - 1);
    return std::to_string(distribution(device));
}

}  // namespace

// CertificateFingerprint

std::string CertificateFingerprint::algorithmIdentifier(Algorithm algorithm) {
    switch (algorithm) {
        case Algorithm::Sha1:
            return "sha-1";
        case Algorithm::Sha224:
            return "sha-224";
        case Algorithm::Sha256:
            return "sha-256";
        case Algorithm::Sha384:
            return "sha-384";
        case Algorithm::Sha512:
            return "sha-512";
    }
    return "sha-256";
}

size_t CertificateFingerprint::algorithmSize(Algorithm algorithm) {
    switch (algorithm) {
        case Algorithm::Sha1:
            return 20;
        case Algorithm::Sha224:
            return 28;
        case Algorithm::Sha256:
            return 32;
        case Algorithm::Sha384:
            return 48;
        case Algorithm::Sha512:
            return 64;
    }
    return 32;
}

std::optional<CertificateFingerprint::Algorithm>
CertificateFingerprint::parseAlgorithm(std::string_view identifier) {
    for (auto algorithm : {Algorithm::Sha1, Algorithm::Sha224, Algorithm::Sha256, Algorithm::Sha384,
                           Algorithm::Sha512})
        if (sdp::iequals(identifier, algorithmIdentifier(algorithm))) return algorithm;
    return std::nullopt;
}

bool CertificateFingerprint::isValid() const {
    size_t bytes = algorithmSize(algorithm);
    if (value.size() != bytes * 3 - 1) return false;
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (i % 3 == 2) {
            if (c != ':') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

// Description

Description::Description(const std::string& sdp, Type type, Role role) : mType(type), mRole(role) {
    if (sdp.empty()) {
        mOrigin = "- " + randomSessionId() + " 0 IN IP4 127.0.0.1";
        mIceOptions = {"trickle"};
        return;
    }
    parse(sdp);
}

Description::Description(const std::string& sdp, std::string typeString)
    : Description(sdp, stringToType(typeString)) {}

Description::Type Description::stringToType(const std::string& typeString) {
    if (typeString == "offer") return Type::Offer;
    if (typeString == "answer") return Type::Answer;
    if (typeString == "pranswer") return Type::Pranswer;
    if (typeString == "rollback") return Type::Rollback;
    if (typeString.empty() || typeString == "unspec") return Type::Unspec;
    throw std::invalid_argument("Invalid description type \"" + typeString.substr(0, 32) + "\"");
}

std::string Description::typeToString(Type type) {
    switch (type) {
        case Type::Offer:
            return "offer";
        case Type::Answer:
            return "answer";
        case Type::Pranswer:
            return "pranswer";
        case Type::Rollback:
            return "rollback";
        case Type::Unspec:
            return "unspec";
    }
    return "unspec";
}

std::string Description::roleToString(Role role) {
    switch (role) {
        case Role::Active:
            return "active";
        case Role::Passive:
            return "passive";
        case Role::ActPass:
            return "actpass";
    }
    return "actpass";
}

std::string Description::directionToString(Direction direction) {
    switch (direction) {
        case Direction::SendOnly:
            return "sendonly";
        case Direction::RecvOnly:
            return "recvonly";
        case Direction::SendRecv:
            return "sendrecv";
        case Direction::Inactive:
            return "inactive";
        case Direction::Unknown:
            return "unknown";
    }
    return "unknown";
}

void Description::hintType(Type type) {
    if (mType == Type::Unspec) mType = type;
}

std::string Description::bundleMid() const {
    for (const auto& mid : mBundle)
        if (hasMid(mid)) return mid;
    if (!mEntries.empty()) return entryAt(0).mid();
    return "0";
}

void Description::setIceAttribute(std::string ufrag, std::string pwd) {
    checkIceCredentials(ufrag, pwd);
    mIceUfrag = std::move(ufrag);
    mIcePwd = std::move(pwd);
}

void Description::addIceOption(std::string option) {
    if (option.empty() || !validMid(option)) throw std::invalid_argument("Invalid ICE option");
    if (std::find(mIceOptions.begin(), mIceOptions.end(), option) == mIceOptions.end())
        mIceOptions.push_back(std::move(option));
}

void Description::removeIceOption(const std::string& option) {
    std::erase(mIceOptions, option);
}

void Description::setFingerprint(CertificateFingerprint fingerprint) {
    for (char& c : fingerprint.value)
        if (c >= 'a' && c <= 'f') c = char(c - 'a' + 'A');
    if (!fingerprint.isValid()) throw std::invalid_argument("Invalid certificate fingerprint");
    mFingerprint = std::move(fingerprint);
}

void Description::addAttribute(std::string attribute) {
    sdp::requireLineText(attribute, "attribute");
    if (attribute.empty()) throw std::invalid_argument("empty attribute");
    auto key = splitAttribute(attribute).first;
    for (std::string_view owned : {"ice-ufrag", "ice-pwd", "ice-options", "fingerprint", "setup",
                                   "candidate", "end-of-candidates"})
        if (key == owned)
            throw std::invalid_argument("attribute \"" + std::string(key) +
                                        "\" has its own setter");
    if (sdp::startsWith(attribute, "group:BUNDLE"))
        throw std::invalid_argument("the BUNDLE group is generated");
    mAttributes.push_back(std::move(attribute));
}

void Description::removeAttribute(const std::string& attribute) {
    std::erase_if(mAttributes,
                  [&](const std::string& a) { return matchesAttribute(a, attribute); });
}

std::vector<Candidate> Description::extractCandidates() {
    std::vector<Candidate> out = std::move(mCandidates);
    mCandidates.clear();
    mEnded = false;
    return out;
}

bool Description::hasCandidate(const Candidate& candidate) const {
    return std::find(mCandidates.begin(), mCandidates.end(), candidate) != mCandidates.end();
}

void Description::addCandidate(Candidate candidate) {
    candidate.hintMid(bundleMid());
    if (hasCandidate(candidate)) return;
    if (mCandidates.size() >= SDP_MAX_CANDIDATES) throw std::length_error("too many candidates");
    mCandidates.push_back(std::move(candidate));
}

void Description::addCandidates(std::vector<Candidate> candidates) {
    for (auto& candidate : candidates) addCandidate(std::move(candidate));
}

bool Description::hasApplication() const {
    return application() != nullptr;
}

bool Description::hasAudioOrVideo() const {
    for (const auto& entry : mEntries)
        if (const auto* media = std::get_if<Media>(&entry);
            media && (media->type() == "audio" || media->type() == "video"))
            return true;
    return false;
}

bool Description::hasMid(std::string_view mid) const {
    for (size_t i = 0; i < mEntries.size(); ++i)
        if (entryAt(i).mid() == mid) return true;
    return false;
}

void Description::checkNewMid(const std::string& mid) const {
    if (!validMid(mid)) throw std::invalid_argument("Invalid SDP: bad mid");
    if (hasMid(mid)) throw std::invalid_argument("Invalid SDP: duplicate mid \"" + mid + "\"");
    if (mEntries.size() >= SDP_MAX_MEDIA) throw std::length_error("too many media sections");
}

int Description::addMedia(Media media) {
    checkNewMid(media.mid());
    if (mBundled) mBundle.push_back(media.mid());
    mEntries.emplace_back(std::move(media));
    return static_cast<int>(mEntries.size() - 1);
}

int Description::addMedia(Application application) {
    checkNewMid(application.mid());
    if (mBundled) mBundle.push_back(application.mid());
    mEntries.emplace_back(std::move(application));
    return static_cast<int>(mEntries.size() - 1);
}

int Description::addApplication(std::string mid) {
    return addMedia(Application(std::move(mid)));
}

int Description::addVideo(std::string mid, Direction direction) {
    return addMedia(Video(std::move(mid), direction));
}

int Description::addAudio(std::string mid, Direction direction) {
    return addMedia(Audio(std::move(mid), direction));
}

void Description::clearMedia() {
    mEntries.clear();
    mBundle.clear();
    mCandidates.clear();
}

Description::Entry& Description::entryAt(size_t index) {
    return std::visit([](auto& entry) -> Entry& { return entry; }, mEntries.at(index));
}

const Description::Entry& Description::entryAt(size_t index) const {
    return std::visit([](const auto& entry) -> const Entry& { return entry; }, mEntries.at(index));
}

std::variant<Description::Media*, Description::Application*>
Description::media(unsigned int index) {
    if (index >= mEntries.size()) throw std::out_of_range("media index out of range");
    auto& entry = mEntries[index];
    if (auto* media = std::get_if<Media>(&entry)) return media;
    return &std::get<Application>(entry);
}

std::variant<const Description::Media*, const Description::Application*>
Description::media(unsigned int index) const {
    if (index >= mEntries.size()) throw std::out_of_range("media index out of range");
    const auto& entry = mEntries[index];
    if (const auto* media = std::get_if<Media>(&entry)) return media;
    return &std::get<Application>(entry);
}

Description::Application* Description::application() {
    for (auto& entry : mEntries)
        if (auto* app = std::get_if<Application>(&entry)) return app;
    return nullptr;
}

const Description::Application* Description::application() const {
    for (const auto& entry : mEntries)
        if (const auto* app = std::get_if<Application>(&entry)) return app;
    return nullptr;
}

// Parsing

// Reads SDP text into a Description, one line at a time. ICE and DTLS parameters are gathered at
// session and media level and settled at the end; candidates wait until every section has its mid.
class detail::DescriptionParser {
public:
    explicit DescriptionParser(Description& description) : d_(description) {}

    void run(std::string_view sdp) {
        if (sdp.size() > SDP_MAX_SIZE) fail("larger than " + std::to_string(SDP_MAX_SIZE) + " bytes");
        size_t position = 0;
        while (position < sdp.size()) {
            size_t end = sdp.find('\n', position);
            if (end == std::string_view::npos) end = sdp.size();
            std::string_view line = sdp.substr(position, end - position);
            position = end + 1;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            readLine(line);
        }
        finish();
    }

private:
    using Role = Description::Role;
    using Entry = Description::Entry;
    using Media = Description::Media;
    using Application = Description::Application;

    // ICE and DTLS parameters of one level (session, or the media sections).
    struct TransportParameters {
        std::optional<Role> role;
        std::optional<std::string> ufrag, pwd;
        std::optional<CertificateFingerprint> fingerprint;
        std::vector<std::string> options;
    };

    struct PendingCandidate {
        Candidate candidate;  // its mid is known once the section has been read
        size_t entry;
    };

    void readLine(std::string_view line) {
        if (++lineCount_ > SDP_MAX_LINES)
            fail("more than " + std::to_string(SDP_MAX_LINES) + " lines");
        if (line.empty()) return;
        const std::string where = " (line " + std::to_string(lineCount_) + ")";
        if (line.size() > SDP_MAX_LINE_LENGTH)
            fail("line longer than " + std::to_string(SDP_MAX_LINE_LENGTH) + " bytes" + where);
        if (!sdp::isLineText(line)) fail("control character" + where);
        if (line.size() < 2 || line[1] != '=') fail("line is not <type>=<value>" + where);
        const char kind = line[0];
        const std::string_view value = line.substr(2);

        if (!sawVersion_) {
            if (line != "v=0") fail("description does not start with v=0");
            sawVersion_ = true;
        } else if (kind == 'm') {
            readMediaLine(value, where);
        } else if (kind == 'a') {
            readAttribute(value, where);
        } else {
            readSessionLine(kind, value, where);
        }
    }

    // m=<type> <port>[/<count>] <protocol> <formats...>: opens a section.
    void readMediaLine(std::string_view value, const std::string& where) {
        if (!sawOrigin_ || !sawName_) fail("media before o= and s=" + where);
        if (d_.mEntries.size() >= SDP_MAX_MEDIA)
            fail("more than " + std::to_string(SDP_MAX_MEDIA) + " media sections");
        auto fields = sdp::splitFields(value, 260);
        if (fields.size() < 4) fail("bad m= line" + where);
        std::string_view portText = fields[1].substr(0, fields[1].find('/'));
        auto port = sdp::parseNumber<unsigned>(portText);
        if (!port || *port > 65535) fail("bad m= port" + where);
        std::vector<std::string> formats(fields.begin() + 3, fields.end());
        std::string type(fields[0]), protocol(fields[2]);
        if (type == "application")
            d_.mEntries.emplace_back(Application(protocol, std::move(formats), std::string()));
        else
            d_.mEntries.emplace_back(Media(type, protocol, std::move(formats), std::string()));
        entry_ = &d_.entryAt(d_.mEntries.size() - 1);
        entry_->mRemoved = *port == 0;
    }

    // Every line type but v=, m= and a=.
    void readSessionLine(char kind, std::string_view value, const std::string& where) {
        switch (kind) {
            case 'v':
                fail("second v= line" + where);
            case 'o':
                if (entry_ || sawOrigin_) fail("misplaced o= line" + where);
                if (sdp::splitFields(value, 16).size() != 6) fail("bad o= line" + where);
                d_.mOrigin = std::string(value);
                sawOrigin_ = true;
                return;
            case 's':
                if (entry_ || sawName_) fail("misplaced s= line" + where);
                d_.mSessionName = value.empty() ? std::string("-") : std::string(value);
                sawName_ = true;
                return;
            case 't':
            case 'r':
            case 'z':
                if (entry_) fail("timing line inside a media section" + where);
                return;  // WebRTC sessions are unbounded; written back as "t=0 0"
            case 'i':
            case 'u':
            case 'e':
            case 'p':
            case 'k':
            case 'c':
                return;  // informational, or replaced on output (c=: ICE decides where media goes)
            case 'b':
                readBandwidth(value, where);
                return;
            default:
                fail(std::string("unknown line type '") + kind + "'" + where);
        }
    }

    // b=<type>:<value>; b=AS of a media section is its bitrate, the others are kept as written.
    void readBandwidth(std::string_view value, const std::string& where) {
        if (value.find(':') == std::string_view::npos) fail("bad b= line" + where);
        auto* media = entry_ ? dynamic_cast<Media*>(entry_) : nullptr;
        if (media && sdp::startsWith(value, "AS:")) {
            auto kbps = sdp::parseNumber<int>(value.substr(3));
            if (!kbps) fail("bad b=AS value" + where);
            media->setBitrate(*kbps);
            return;
        }
        auto& bandwidths = entry_ ? entry_->mBandwidths : d_.mBandwidths;
        if (bandwidths.size() >= 8) fail("too many b= lines" + where);
        bandwidths.emplace_back(value);
    }

    void readAttribute(std::string_view value, const std::string& where) {
        if (value.empty()) fail("empty attribute" + where);
        auto [key, attributeValue] = splitAttribute(value);
        try {
            if (entry_)
                readMediaAttribute(key, attributeValue, value);
            else
                readSessionAttribute(key, attributeValue, value);
        } catch (const std::invalid_argument& e) {
            std::string message = e.what();
            if (!sdp::startsWith(message, "Invalid SDP")) message = "Invalid SDP: " + message;
            throw std::invalid_argument(message + where);
        }
    }

    void readSessionAttribute(std::string_view key, std::string_view value, std::string_view attribute) {
        if (key == "group") {
            auto fields = sdp::splitFields(value, SDP_MAX_MEDIA + 1);
            if (!fields.empty() && fields[0] == "BUNDLE") {
                if (!d_.mBundle.empty()) fail("second BUNDLE group");
                for (size_t i = 1; i < fields.size(); ++i) d_.mBundle.emplace_back(fields[i]);
                return;
            }
            d_.mAttributes.emplace_back(attribute);
        } else if (key == "candidate" || key == "end-of-candidates") {
            fail("candidate outside a media section");
        } else if (!readTransport(session_, key, value)) {
            d_.mAttributes.emplace_back(attribute);
        }
    }

    void readMediaAttribute(std::string_view key, std::string_view value, std::string_view attribute) {
        if (key == "mid") {
            if (!entry_->mMid.empty()) fail("second mid in one section");
            if (!validMid(value)) fail("bad mid");
            if (d_.hasMid(value)) fail("duplicate mid \"" + std::string(value) + "\"");
            entry_->mMid = std::string(value);
        } else if (key == "candidate") {
            if (candidates_.size() >= SDP_MAX_CANDIDATES)
                fail("more than " + std::to_string(SDP_MAX_CANDIDATES) + " candidates");
            candidates_.push_back({Candidate(std::string(attribute)), d_.mEntries.size() - 1});
        } else if (key == "end-of-candidates") {
            d_.mEnded = true;
        } else if (!readTransport(media_, key, value)) {
            entry_->parseSdpLine(attribute);
        }
    }

    // False when `key` is not an ICE or DTLS parameter. A bundled transport has one set of them; the
    // first section's values stand for all (they are equal in a well-formed bundle).
    bool readTransport(TransportParameters& level, std::string_view key, std::string_view value) {
        if (key == "ice-ufrag") {
            if (!level.ufrag) level.ufrag = std::string(value);
        } else if (key == "ice-pwd") {
            if (!level.pwd) level.pwd = std::string(value);
        } else if (key == "ice-options") {
            if (level.options.empty())
                for (auto option : sdp::splitFields(value, 16)) level.options.emplace_back(option);
        } else if (key == "fingerprint") {
            bool supported = false;
            auto parsed = parseFingerprint(value, supported);
            sawFingerprint_ = true;
            if (supported && !level.fingerprint) level.fingerprint = std::move(parsed);
        } else if (key == "setup") {
            Role parsed = parseSetup(value);
            if (!level.role) level.role = parsed;
        } else {
            return false;
        }
        return true;
    }

    void finish() {
        if (!sawVersion_) fail("empty description");
        if (!sawOrigin_) fail("missing o= line");
        if (!sawName_) fail("missing s= line");
        nameSections();
        settleTransport();
        for (auto& pending : candidates_) {
            pending.candidate.hintMid(d_.entryAt(pending.entry).mid());
            if (!d_.hasCandidate(pending.candidate)) d_.mCandidates.push_back(std::move(pending.candidate));
        }
    }

    // Sections without a=mid are named by their index, as unbundled legacy descriptions expect.
    void nameSections() {
        for (size_t i = 0; i < d_.mEntries.size(); ++i) {
            Entry& e = d_.entryAt(i);
            if (e.mMid.empty()) {
                std::string mid = std::to_string(i);
                if (d_.hasMid(mid)) fail("section " + mid + " has no mid and its index is taken");
                e.mMid = mid;
            }
        }
        for (const auto& mid : d_.mBundle)
            if (!d_.hasMid(mid)) fail("BUNDLE names unknown mid \"" + mid + "\"");
        d_.mBundled = !d_.mBundle.empty();
    }

    // Session-level values win over those of the media sections.
    void settleTransport() {
        d_.mIceUfrag = session_.ufrag ? session_.ufrag : media_.ufrag;
        d_.mIcePwd = session_.pwd ? session_.pwd : media_.pwd;
        if (d_.mIceUfrag.has_value() != d_.mIcePwd.has_value())
            fail("ice-ufrag without ice-pwd or the reverse");
        if (d_.mIceUfrag) checkIceCredentials(*d_.mIceUfrag, *d_.mIcePwd);
        d_.mIceOptions = !session_.options.empty() ? session_.options : media_.options;
        d_.mFingerprint = session_.fingerprint ? session_.fingerprint : media_.fingerprint;
        if (sawFingerprint_ && !d_.mFingerprint) fail("no fingerprint with a supported hash function");
        if (auto role = session_.role ? session_.role : media_.role) d_.mRole = *role;
    }

    Description& d_;
    TransportParameters session_, media_;
    bool sawFingerprint_ = false;
    std::vector<PendingCandidate> candidates_;
    bool sawVersion_ = false, sawOrigin_ = false, sawName_ = false;
    Entry* entry_ = nullptr;  // the section being read; null at session level
    size_t lineCount_ = 0;
};

void Description::parse(std::string_view sdp) {
    detail::DescriptionParser(*this).run(sdp);
}

// Generation

std::string Description::generateSdp(std::string_view eol) const {
    std::string out;
    auto line = [&](std::string_view text) {
        out += text;
        out += eol;
    };
    line("v=0");
    line("o=" + mOrigin);
    line("s=" + mSessionName);
    for (const auto& bandwidth : mBandwidths) line("b=" + bandwidth);
    line("t=0 0");

    std::vector<std::string> bundle;
    for (const auto& mid : mBundle) {
        bool live = false;
        for (size_t i = 0; i < mEntries.size(); ++i)
            if (entryAt(i).mid() == mid && !entryAt(i).isRemoved()) live = true;
        if (live) bundle.push_back(mid);
    }
    if (!bundle.empty()) {
        std::string group = "a=group:BUNDLE";
        for (const auto& mid : bundle) group += " " + mid;
        line(group);
    }
    for (const auto& attribute : mAttributes) line("a=" + attribute);

    // The transport parameters go into every section: that is what both browsers and JSEP
    // implementations write, and every reader accepts them there.
    std::string transport;
    auto transportLine = [&](std::string_view text) {
        transport += text;
        transport += eol;
    };
    if (mIceUfrag) transportLine("a=ice-ufrag:" + *mIceUfrag);
    if (mIcePwd) transportLine("a=ice-pwd:" + *mIcePwd);
    if (!mIceOptions.empty()) {
        std::string options = "a=ice-options:";
        for (size_t i = 0; i < mIceOptions.size(); ++i) options += (i ? " " : "") + mIceOptions[i];
        transportLine(options);
    }
    if (mFingerprint)
        transportLine("a=fingerprint:" +
                      CertificateFingerprint::algorithmIdentifier(mFingerprint->algorithm) + " " +
                      mFingerprint->value);
    transportLine("a=setup:" + roleToString(mRole));

    // Candidates whose mid names no section go with the bundle's section.
    std::string fallbackMid = bundleMid();
    for (size_t i = 0; i < mEntries.size(); ++i) {
        const Entry& e = entryAt(i);
        e.generateInto(out, eol, "0.0.0.0", 9, transport);
        for (const auto& candidate : mCandidates) {
            std::string mid = candidate.mid();
            if (mid == e.mid() || (!hasMid(mid) && e.mid() == fallbackMid))
                line(std::string(candidate));
        }
        if (mEnded) line("a=end-of-candidates");
    }
    return out;
}

}  // namespace rtc
