#pragma once
// A session description (SDP, RFC 8866) as WebRTC uses it: one bundled ICE/DTLS transport, a data
// application section and RTP media sections.
//
// Parsing is strict and bounded (see the SDP_* limits in Common.hpp): malformed or oversized input
// throws std::invalid_argument with a message naming the problem and its line. Attributes the model
// does not interpret (a=rtcp, a=msid, a=ssrc-group, a=rtcp-xr, unknown ones, ...) are kept in their
// order and written back intact in their section; modelled lines are written in a fixed order.
// ICE and DTLS parameters are those of one bundled transport: read from the session level or else from
// the first section that has them, written into every section.
// Input may end its lines with CRLF or LF; output uses the end of line given to generateSdp.
//
// Media entries live in a std::deque: pointers returned by media() and application() stay valid while
// entries are added, until clearMedia() or the Description is destroyed.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "rtc/Candidate.hpp"
#include "rtc/Common.hpp"

namespace rtc {

struct CertificateFingerprint {
    enum class Algorithm { Sha1, Sha224, Sha256, Sha384, Sha512 };

    // "sha-256", ...
    static std::string algorithmIdentifier(Algorithm algorithm);
    // Digest length in bytes.
    static size_t algorithmSize(Algorithm algorithm);
    // Case-insensitive; nullopt for an unsupported hash function.
    static std::optional<Algorithm> parseAlgorithm(std::string_view identifier);

    // Colon-separated pairs of hexadecimal digits of the right count for the algorithm.
    bool isValid() const;

    Algorithm algorithm = Algorithm::Sha256;
    std::string value;  // upper-case "AB:CD:..."
};

namespace detail {
class DescriptionParser; // reads SDP text into a Description
}

class Description {
public:
    enum class Type { Unspec, Offer, Answer, Pranswer, Rollback };
    enum class Role { ActPass, Passive, Active };
    enum class Direction { SendOnly, RecvOnly, SendRecv, Inactive, Unknown };

    // Parses `sdp`. The role comes from a=setup when the text has one.
    // An empty `sdp` makes a fresh local description: a random session id, ice-options "trickle", no
    // media and no ICE credentials or fingerprint (the caller sets them from its own random source and
    // certificate). Code that reads a description from the network must refuse empty text itself.
    Description(const std::string& sdp, Type type = Type::Unspec, Role role = Role::ActPass);
    // `typeString`: "offer", "answer", "pranswer", "rollback" or "" (Unspec); anything else throws
    // std::invalid_argument.
    Description(const std::string& sdp, std::string typeString);

    Type type() const { return mType; }
    // "offer", "answer", "pranswer", "rollback", or "unspec".
    std::string typeString() const { return typeToString(mType); }
    void hintType(Type type);  // sets the type when it is Unspec
    Role role() const { return mRole; }
    void setRole(Role role) { mRole = role; }
    // The media id that carries the bundled transport: the first mid of a=group:BUNDLE, else the
    // first entry's, else "0".
    std::string bundleMid() const;

    std::optional<std::string> iceUfrag() const { return mIceUfrag; }
    std::optional<std::string> icePwd() const { return mIcePwd; }
    // Throws std::invalid_argument unless ufrag is 4 to 256 and pwd 22 to 256 ice-chars (RFC 8839).
    void setIceAttribute(std::string ufrag, std::string pwd);
    std::vector<std::string> iceOptions() const { return mIceOptions; }
    void addIceOption(std::string option);
    void removeIceOption(const std::string& option);

    std::optional<CertificateFingerprint> fingerprint() const { return mFingerprint; }
    // Throws std::invalid_argument for an invalid fingerprint.
    void setFingerprint(CertificateFingerprint fingerprint);

    // Session-level attributes kept as written (without "a="), e.g. "extmap-allow-mixed".
    std::vector<std::string> attributes() const { return mAttributes; }
    // Throws std::invalid_argument for line breaks or controls, the BUNDLE group (generated from the
    // entries) and ICE/DTLS parameters or candidates (they have their own setters).
    void addAttribute(std::string attribute);
    void removeAttribute(const std::string& attribute);  // every one equal to it or starting "<it>:"

    // Candidates in description order, each with its section's mid.
    std::vector<Candidate> candidates() const { return mCandidates; }
    // Takes the candidates out (and the end-of-candidates mark with them), so that the text generated
    // afterwards carries none.
    std::vector<Candidate> extractCandidates();
    bool hasCandidate(const Candidate& candidate) const;
    // A candidate without a mid gets bundleMid(). Duplicates are ignored. Throws std::length_error past
    // SDP_MAX_CANDIDATES.
    void addCandidate(Candidate candidate);
    void addCandidates(std::vector<Candidate> candidates);
    void endCandidates() { mEnded = true; }
    bool ended() const { return mEnded; }

    std::string generateSdp(std::string_view eol = "\r\n") const;
    operator std::string() const { return generateSdp(); }

    class Entry {
    public:
        virtual ~Entry() = default;

        // m= fields: media type ("video", "audio", "application", ...) and protocol.
        std::string type() const { return mType; }
        std::string protocol() const { return mProtocol; }
        // "<protocol> <formats...>": the m= line after its port.
        virtual std::string description() const;
        std::string mid() const { return mMid; }
        Direction direction() const { return mDirection; }
        void setDirection(Direction direction) { mDirection = direction; }
        // A section with port 0 (rejected or stopped).
        bool isRemoved() const { return mRemoved; }
        void markRemoved() { mRemoved = true; }

        // Attributes without a dedicated model, as written (without "a=").
        std::vector<std::string> attributes() const { return mAttributes; }
        // Throws std::invalid_argument for text containing line breaks or controls, and for attributes
        // that have their own setter (mid, direction, ICE/DTLS parameters, candidates, extmap, rtpmap,
        // fmtp, rtcp-fb other than "*", ssrc, sctp-port, max-message-size).
        void addAttribute(std::string attribute);
        void removeAttribute(const std::string& attribute);  // every one equal to it or starting "<it>:"

        struct ExtMap {
            ExtMap(int id, std::string uri, Direction direction = Direction::Unknown);
            // Parses the value of an a=extmap line: "<id>[/<direction>] <uri> [<attributes>]".
            explicit ExtMap(std::string_view description);

            int id;
            std::string uri;
            std::string attributes;
            Direction direction = Direction::Unknown;
        };
        std::vector<int> extIds() const;
        ExtMap* extMap(int id);
        const ExtMap* extMap(int id) const;
        // Adds or replaces the map with that id (1 to 255, not 15).
        void addExtMap(ExtMap map);
        void removeExtMap(int id);

        // The section's lines, first the m= line. `addr`/`port` go into c= and m= (port 0 when removed).
        std::string generateSdp(std::string_view eol = "\r\n", std::string_view addr = "0.0.0.0",
                                uint16_t port = 9) const;

    protected:
        Entry(std::string type, std::string protocol, std::string mid, Direction direction);

        friend class Description;
        friend class detail::DescriptionParser;
        virtual void parseSdpLine(std::string_view line);  // one a= value
        virtual std::vector<std::string> formats() const { return mFormats; }
        virtual void generateSpecific(std::string& out, std::string_view eol) const;
        // Writes the section; `transport` (session lines such as ICE credentials) follows a=mid.
        void generateInto(std::string& out, std::string_view eol, std::string_view addr, uint16_t port,
                          std::string_view transport) const;
        void setMid(std::string mid) { mMid = std::move(mid); }

        std::string mType;
        std::string mProtocol;
        std::vector<std::string> mFormats;  // m= formats of entries that do not model them
        std::string mMid;
        Direction mDirection = Direction::Unknown;
        bool mRemoved = false;
        std::vector<std::string> mAttributes;
        std::vector<std::string> mBandwidths;  // b= values other than AS
        std::vector<ExtMap> mExtMaps;
    };

    class Application : public Entry {
    public:
        explicit Application(std::string mid = "data");

        // sctp-port defaults to DEFAULT_SCTP_PORT for new entries.
        std::optional<uint16_t> sctpPort() const { return mSctpPort; }
        void setSctpPort(uint16_t port) { mSctpPort = port; }
        void hintSctpPort(uint16_t port) {
            if (!mSctpPort) mSctpPort = port;
        }
        std::optional<size_t> maxMessageSize() const { return mMaxMessageSize; }
        void setMaxMessageSize(size_t size) { mMaxMessageSize = size; }

        // The answering side's entry: same mid, no max-message-size (the answerer sets its own).
        Application reciprocate() const;

    private:
        friend class Description;
        friend class detail::DescriptionParser;
        Application(std::string protocol, std::vector<std::string> formats, std::string mid);
        bool legacy() const;
        std::vector<std::string> formats() const override;
        void parseSdpLine(std::string_view line) override;
        void generateSpecific(std::string& out, std::string_view eol) const override;

        std::optional<uint16_t> mSctpPort;
        std::optional<size_t> mMaxMessageSize;
    };

    class Media : public Entry {
    public:
        // `type` "video" or "audio" (or another media type); protocol UDP/TLS/RTP/SAVPF; rtcp-mux set.
        Media(std::string type, std::string mid, Direction direction = Direction::SendOnly);

        std::string description() const override;

        struct RtpMap {
            explicit RtpMap(int payloadType);
            // Parses the value of an a=rtpmap line: "<pt> <format>/<clock>[/<params>]".
            explicit RtpMap(std::string_view description);

            // Removes every feedback equal to `feedback` or starting with it and a space
            // (removeFeedback("nack") drops "nack" and "nack pli").
            void removeFeedback(const std::string& feedback);
            void addFeedback(std::string feedback);
            void addParameter(std::string parameter);
            void removeParameter(const std::string& parameter);  // fmtp strings equal to it

            int payloadType;
            std::string format;  // "H264", "VP8", "rtx", ...; empty for a static type without rtpmap
            int clockRate = 0;
            std::string encParams;
            std::vector<std::string> rtcpFbs;  // a=rtcp-fb values after the payload type
            std::vector<std::string> fmtps;    // a=fmtp values after the payload type
        };

        // In m= line order.
        std::vector<int> payloadTypes() const { return mPayloadTypes; }
        bool hasPayloadType(int payloadType) const;
        RtpMap* rtpMap(int payloadType);
        const RtpMap* rtpMap(int payloadType) const;
        // Adds (at the end of the m= line) or replaces. Throws std::invalid_argument for a payload type
        // outside 0..127, a format/feedback/parameter with line breaks, or past the limits.
        void addRtpMap(RtpMap map);
        // Removes the payload type and every retransmission type ("rtx" with apt=<pt>) bound to it.
        void removeRtpMap(int payloadType);
        // Removes every payload type of that format (case-insensitive), as removeRtpMap does.
        void removeFormat(const std::string& format);

        // a=ssrc lines. `name` becomes cname; msid and trackId become "msid:<msid> <trackId>" (and a
        // section-level a=msid when the section has none yet). Throws std::length_error past
        // SDP_MAX_SSRCS.
        void addSSRC(uint32_t ssrc, std::optional<std::string> name,
                     std::optional<std::string> msid = std::nullopt,
                     std::optional<std::string> trackId = std::nullopt);
        void removeSSRC(uint32_t ssrc);
        void clearSSRCs();
        bool hasSSRC(uint32_t ssrc) const;
        std::vector<uint32_t> getSSRCs() const;
        std::vector<uint32_t> ssrcs() const;  // same as getSSRCs()
        std::optional<std::string> getCNameForSsrc(uint32_t ssrc) const;
        // Every a=ssrc attribute of that SSRC ("cname:x", "msid:a b", ...), in order.
        std::vector<std::string> ssrcAttributes(uint32_t ssrc) const;

        // b=AS in kbit/s; 0 when unset.
        int bitrate() const { return mBitrate; }
        void setBitrate(int kbps) { mBitrate = kbps > 0 ? kbps : 0; }

        // The answering side's entry: same mid and codecs, direction mirrored, no SSRCs.
        Media reciprocate() const;

    protected:
        friend class Description;
        friend class detail::DescriptionParser;
        Media(std::string type, std::string protocol, std::vector<std::string> formats, std::string mid);
        void parseSdpLine(std::string_view line) override;
        std::vector<std::string> formats() const override;
        void generateSpecific(std::string& out, std::string_view eol) const override;

        struct Ssrc {
            uint32_t ssrc;
            std::vector<std::string> attributes;
        };
        std::vector<int> mPayloadTypes;
        std::vector<RtpMap> mRtpMaps;
        std::vector<Ssrc> mSsrcs;
        int mBitrate = 0;
    };

    class Audio : public Media {
    public:
        explicit Audio(std::string mid = "audio", Direction direction = Direction::SendOnly);
        void addAudioCodec(int payloadType, std::string codec, std::optional<std::string> profile = std::nullopt);
        void addOpusCodec(int payloadType,
                          std::optional<std::string> profile = std::string("minptime=10;useinbandfec=1"));
    };

    class Video : public Media {
    public:
        explicit Video(std::string mid = "video", Direction direction = Direction::SendOnly);

        // "<codec>/90000" with feedback "nack", "nack pli" and "ccm fir"; `profile` becomes its fmtp.
        void addVideoCodec(int payloadType, std::string codec, std::optional<std::string> profile = std::nullopt);
        void addH264Codec(int payloadType,
                          std::optional<std::string> profile =
                              std::string("profile-level-id=42e01f;packetization-mode=1;level-asymmetry-allowed=1"));
        void addH265Codec(int payloadType, std::optional<std::string> profile =
                                               std::string("profile-id=1;tier-flag=0;level-id=93;tx-mode=SRST"));
        void addVP8Codec(int payloadType);
    };

    bool hasApplication() const;
    bool hasAudioOrVideo() const;
    bool hasMid(std::string_view mid) const;

    // Each returns the new entry's index. Throws std::invalid_argument for a duplicate or empty mid and
    // std::length_error past SDP_MAX_MEDIA.
    int addMedia(Media media);
    int addMedia(Application application);
    int addApplication(std::string mid = "data");
    int addVideo(std::string mid = "video", Direction direction = Direction::SendOnly);
    int addAudio(std::string mid = "audio", Direction direction = Direction::SendOnly);
    void clearMedia();

    // Throws std::out_of_range for an index not below mediaCount().
    std::variant<Media*, Application*> media(unsigned int index);
    std::variant<const Media*, const Application*> media(unsigned int index) const;
    unsigned int mediaCount() const { return static_cast<unsigned int>(mEntries.size()); }

    // The first application entry, or null.
    Application* application();
    const Application* application() const;

    static Type stringToType(const std::string& typeString);
    static std::string typeToString(Type type);
    static std::string roleToString(Role role);
    static std::string directionToString(Direction direction);

private:
    using EntryVariant = std::variant<Media, Application>;
    Entry& entryAt(size_t index);
    const Entry& entryAt(size_t index) const;
    friend class detail::DescriptionParser;
    void parse(std::string_view sdp);
    void checkNewMid(const std::string& mid) const;

    Type mType = Type::Unspec;
    Role mRole = Role::ActPass;
    std::string mOrigin;   // o= value
    std::string mSessionName = "-";
    std::vector<std::string> mBundle;  // a=group:BUNDLE mids as written
    bool mBundled = true;              // generate a=group:BUNDLE over every mid
    std::optional<std::string> mIceUfrag;
    std::optional<std::string> mIcePwd;
    std::vector<std::string> mIceOptions;
    std::optional<CertificateFingerprint> mFingerprint;
    std::vector<std::string> mAttributes;
    std::vector<std::string> mBandwidths;
    std::deque<EntryVariant> mEntries;
    std::vector<Candidate> mCandidates;
    bool mEnded = false;
};

}  // namespace rtc
