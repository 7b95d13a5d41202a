#pragma once
// Session descriptions captured from independent peers (headless Chromium, aiortc), with LF line ends.
// Tests turn them into CRLF where the wire form matters.

namespace sdp_fixtures {

// Chromium: offer with a receive-only video transceiver and a data channel, after gathering (one mDNS host candidate).
inline constexpr const char* kChromiumRecvOnlyOffer = R"sdp(v=0
o=- 8194664287246292084 2 IN IP4 127.0.0.1
s=-
t=0 0
a=group:BUNDLE 0 1
a=extmap-allow-mixed
a=msid-semantic: WMS
m=video 9 UDP/TLS/RTP/SAVPF 96 97 98 99 100 101 35 36 37 38 102 103 104 107 108 109 114 115 116 117 39 40 41 42 43 44 45 46 47 48 118 119 120 49
c=IN IP4 0.0.0.0
a=rtcp:9 IN IP4 0.0.0.0
a=candidate:634116329 1 udp 2113937151 7bf13d02-e140-408e-8cf2-65551c65695a.local 35892 typ host generation 0 network-cost 999
a=ice-ufrag:Sd42
a=ice-pwd:bji8XpejRMYG/wWDiuafy8iH
a=ice-options:trickle
a=fingerprint:sha-256 CA:14:8A:89:21:AB:B7:D3:CC:7B:7A:5D:7D:2D:39:3C:C1:11:BC:39:F2:0A:29:A2:EE:06:71:35:AC:28:B8:06
a=setup:actpass
a=mid:0
a=extmap:1 urn:ietf:params:rtp-hdrext:toffset
a=extmap:2 http://www.webrtc.org/experiments/rtp-hdrext/abs-send-time
a=extmap:3 urn:3gpp:video-orientation
a=extmap:4 http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01
a=extmap:5 http://www.webrtc.org/experiments/rtp-hdrext/playout-delay
a=extmap:6 http://www.webrtc.org/experiments/rtp-hdrext/video-content-type
a=extmap:7 http://www.webrtc.org/experiments/rtp-hdrext/video-timing
a=extmap:8 http://www.webrtc.org/experiments/rtp-hdrext/color-space
a=extmap:9 urn:ietf:params:rtp-hdrext:sdes:mid
a=extmap:10 urn:ietf:params:rtp-hdrext:sdes:rtp-stream-id
a=extmap:11 urn:ietf:params:rtp-hdrext:sdes:repaired-rtp-stream-id
a=recvonly
a=rtcp-mux
a=rtcp-rsize
a=rtcp-xr:rcvr-rtt=all
a=rtpmap:96 VP8/90000
a=rtcp-fb:96 goog-remb
a=rtcp-fb:96 transport-cc
a=rtcp-fb:96 ccm fir
a=rtcp-fb:96 nack
a=rtcp-fb:96 nack pli
a=rtpmap:97 rtx/90000
a=fmtp:97 apt=96
a=rtpmap:98 VP9/90000
a=rtcp-fb:98 goog-remb
a=rtcp-fb:98 transport-cc
a=rtcp-fb:98 ccm fir
a=rtcp-fb:98 nack
a=rtcp-fb:98 nack pli
a=fmtp:98 profile-id=0
a=rtpmap:99 rtx/90000
a=fmtp:99 apt=98
a=rtpmap:100 VP9/90000
a=rtcp-fb:100 goog-remb
a=rtcp-fb:100 transport-cc
a=rtcp-fb:100 ccm fir
a=rtcp-fb:100 nack
a=rtcp-fb:100 nack pli
a=fmtp:100 profile-id=2
a=rtpmap:101 rtx/90000
a=fmtp:101 apt=100
a=rtpmap:35 VP9/90000
a=rtcp-fb:35 goog-remb
a=rtcp-fb:35 transport-cc
a=rtcp-fb:35 ccm fir
a=rtcp-fb:35 nack
a=rtcp-fb:35 nack pli
a=fmtp:35 profile-id=1
a=rtpmap:36 rtx/90000
a=fmtp:36 apt=35
a=rtpmap:37 VP9/90000
a=rtcp-fb:37 goog-remb
a=rtcp-fb:37 transport-cc
a=rtcp-fb:37 ccm fir
a=rtcp-fb:37 nack
a=rtcp-fb:37 nack pli
a=fmtp:37 profile-id=3
a=rtpmap:38 rtx/90000
a=fmtp:38 apt=37
a=rtpmap:102 H264/90000
a=rtcp-fb:102 goog-remb
a=rtcp-fb:102 transport-cc
a=rtcp-fb:102 ccm fir
a=rtcp-fb:102 nack
a=rtcp-fb:102 nack pli
a=fmtp:102 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42001f
a=rtpmap:103 rtx/90000
a=fmtp:103 apt=102
a=rtpmap:104 H264/90000
a=rtcp-fb:104 goog-remb
a=rtcp-fb:104 transport-cc
a=rtcp-fb:104 ccm fir
a=rtcp-fb:104 nack
a=rtcp-fb:104 nack pli
a=fmtp:104 level-asymmetry-allowed=1;packetization-mode=0;profile-level-id=42001f
a=rtpmap:107 rtx/90000
a=fmtp:107 apt=104
a=rtpmap:108 H264/90000
a=rtcp-fb:108 goog-remb
a=rtcp-fb:108 transport-cc
a=rtcp-fb:108 ccm fir
a=rtcp-fb:108 nack
a=rtcp-fb:108 nack pli
a=fmtp:108 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e01f
a=rtpmap:109 rtx/90000
a=fmtp:109 apt=108
a=rtpmap:114 H264/90000
a=rtcp-fb:114 goog-remb
a=rtcp-fb:114 transport-cc
a=rtcp-fb:114 ccm fir
a=rtcp-fb:114 nack
a=rtcp-fb:114 nack pli
a=fmtp:114 level-asymmetry-allowed=1;packetization-mode=0;profile-level-id=42e01f
a=rtpmap:115 rtx/90000
a=fmtp:115 apt=114
a=rtpmap:116 H264/90000
a=rtcp-fb:116 goog-remb
a=rtcp-fb:116 transport-cc
a=rtcp-fb:116 ccm fir
a=rtcp-fb:116 nack
a=rtcp-fb:116 nack pli
a=fmtp:116 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=4d001f
a=rtpmap:117 rtx/90000
a=fmtp:117 apt=116
a=rtpmap:39 H264/90000
a=rtcp-fb:39 goog-remb
a=rtcp-fb:39 transport-cc
a=rtcp-fb:39 ccm fir
a=rtcp-fb:39 nack
a=rtcp-fb:39 nack pli
a=fmtp:39 level-asymmetry-allowed=1;packetization-mode=0;profile-level-id=4d001f
a=rtpmap:40 rtx/90000
a=fmtp:40 apt=39
a=rtpmap:41 H264/90000
a=rtcp-fb:41 goog-remb
a=rtcp-fb:41 transport-cc
a=rtcp-fb:41 ccm fir
a=rtcp-fb:41 nack
a=rtcp-fb:41 nack pli
a=fmtp:41 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=f4001f
a=rtpmap:42 rtx/90000
a=fmtp:42 apt=41
a=rtpmap:43 H264/90000
a=rtcp-fb:43 goog-remb
a=rtcp-fb:43 transport-cc
a=rtcp-fb:43 ccm fir
a=rtcp-fb:43 nack
a=rtcp-fb:43 nack pli
a=fmtp:43 level-asymmetry-allowed=1;packetization-mode=0;profile-level-id=f4001f
a=rtpmap:44 rtx/90000
a=fmtp:44 apt=43
a=rtpmap:45 AV1/90000
a=rtcp-fb:45 goog-remb
a=rtcp-fb:45 transport-cc
a=rtcp-fb:45 ccm fir
a=rtcp-fb:45 nack
a=rtcp-fb:45 nack pli
a=fmtp:45 level-idx=5;profile=0;tier=0
a=rtpmap:46 rtx/90000
a=fmtp:46 apt=45
a=rtpmap:47 AV1/90000
a=rtcp-fb:47 goog-remb
a=rtcp-fb:47 transport-cc
a=rtcp-fb:47 ccm fir
a=rtcp-fb:47 nack
a=rtcp-fb:47 nack pli
a=fmtp:47 level-idx=5;profile=1;tier=0
a=rtpmap:48 rtx/90000
a=fmtp:48 apt=47
a=rtpmap:118 red/90000
a=rtpmap:119 rtx/90000
a=fmtp:119 apt=118
a=rtpmap:120 ulpfec/90000
a=rtpmap:49 flexfec-03/90000
a=rtcp-fb:49 goog-remb
a=rtcp-fb:49 transport-cc
a=fmtp:49 repair-window=10000000
m=application 9 UDP/DTLS/SCTP webrtc-datachannel
c=IN IP4 0.0.0.0
a=ice-ufrag:Sd42
a=ice-pwd:bji8XpejRMYG/wWDiuafy8iH
a=ice-options:trickle
a=fingerprint:sha-256 CA:14:8A:89:21:AB:B7:D3:CC:7B:7A:5D:7D:2D:39:3C:C1:11:BC:39:F2:0A:29:A2:EE:06:71:35:AC:28:B8:06
a=setup:actpass
a=mid:1
a=sctp-port:5000
a=max-message-size:262144
)sdp";

// Chromium: offer sending a canvas track (msid, ssrc-group FID, RTX) and a data channel, before gathering.
inline constexpr const char* kChromiumSendRecvOffer = R"sdp(v=0
o=- 5985594725465286556 2 IN IP4 127.0.0.1
s=-
t=0 0
a=group:BUNDLE 0 1
a=extmap-allow-mixed
a=msid-semantic: WMS 23dc115d-fa5e-4298-83b1-f15a5563f47e
m=video 9 UDP/TLS/RTP/SAVPF 96 97 102 103 104 107 108 109 114 115 116 117 39 40 45 46 98 99 100 101 118 119 120
c=IN IP4 0.0.0.0
a=rtcp:9 IN IP4 0.0.0.0
a=ice-ufrag:VaR6
a=ice-pwd:lcm3iHxDcm9azLs+BoqVprfi
a=ice-options:trickle
a=fingerprint:sha-256 96:BB:6B:A9:48:B3:35:2D:96:38:1C:0E:50:1F:02:A0:09:0F:DD:12:6E:18:B8:78:9A:01:56:38:04:E9:BA:C8
a=setup:actpass
a=mid:0
a=extmap:1 urn:ietf:params:rtp-hdrext:toffset
a=extmap:2 http://www.webrtc.org/experiments/rtp-hdrext/abs-send-time
a=extmap:3 urn:3gpp:video-orientation
a=extmap:4 http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01
a=extmap:5 http://www.webrtc.org/experiments/rtp-hdrext/playout-delay
a=extmap:6 http://www.webrtc.org/experiments/rtp-hdrext/video-content-type
a=extmap:7 http://www.webrtc.org/experiments/rtp-hdrext/video-timing
a=extmap:8 http://www.webrtc.org/experiments/rtp-hdrext/color-space
a=extmap:9 urn:ietf:params:rtp-hdrext:sdes:mid
a=extmap:10 urn:ietf:params:rtp-hdrext:sdes:rtp-stream-id
a=extmap:11 urn:ietf:params:rtp-hdrext:sdes:repaired-rtp-stream-id
a=sendrecv
a=msid:23dc115d-fa5e-4298-83b1-f15a5563f47e b667aeef-e9f6-4fa2-a062-f059d5aac079
a=rtcp-mux
a=rtcp-rsize
a=rtcp-xr:rcvr-rtt=all
a=rtpmap:96 VP8/90000
a=rtcp-fb:96 goog-remb
a=rtcp-fb:96 transport-cc
a=rtcp-fb:96 ccm fir
a=rtcp-fb:96 nack
a=rtcp-fb:96 nack pli
a=rtpmap:97 rtx/90000
a=fmtp:97 apt=96
a=rtpmap:102 H264/90000
a=rtcp-fb:102 goog-remb
a=rtcp-fb:102 transport-cc
a=rtcp-fb:102 ccm fir
a=rtcp-fb:102 nack
a=rtcp-fb:102 nack pli
a=fmtp:102 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42001f
a=rtpmap:103 rtx/90000
a=fmtp:103 apt=102
a=rtpmap:104 H264/90000
a=rtcp-fb:104 goog-remb
a=rtcp-fb:104 transport-cc
a=rtcp-fb:104 ccm fir
a=rtcp-fb:104 nack
a=rtcp-fb:104 nack pli
a=fmtp:104 level-asymmetry-allowed=1;packetization-mode=0;profile-level-id=42001f
a=rtpmap:107 rtx/90000
a=fmtp:107 apt=104
a=rtpmap:108 H264/90000
a=rtcp-fb:108 goog-remb
a=rtcp-fb:108 transport-cc
a=rtcp-fb:108 ccm fir
a=rtcp-fb:108 nack
a=rtcp-fb:108 nack pli
a=fmtp:108 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e01f
a=rtpmap:109 rtx/90000
a=fmtp:109 apt=108
a=rtpmap:114 H264/90000
a=rtcp-fb:114 goog-remb
a=rtcp-fb:114 transport-cc
a=rtcp-fb:114 ccm fir
a=rtcp-fb:114 nack
a=rtcp-fb:114 nack pli
a=fmtp:114 level-asymmetry-allowed=1;packetization-mode=0;profile-level-id=42e01f
a=rtpmap:115 rtx/90000
a=fmtp:115 apt=114
a=rtpmap:116 H264/90000
a=rtcp-fb:116 goog-remb
a=rtcp-fb:116 transport-cc
a=rtcp-fb:116 ccm fir
a=rtcp-fb:116 nack
a=rtcp-fb:116 nack pli
a=fmtp:116 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=4d001f
a=rtpmap:117 rtx/90000
a=fmtp:117 apt=116
a=rtpmap:39 H264/90000
a=rtcp-fb:39 goog-remb
a=rtcp-fb:39 transport-cc
a=rtcp-fb:39 ccm fir
a=rtcp-fb:39 nack
a=rtcp-fb:39 nack pli
a=fmtp:39 level-asymmetry-allowed=1;packetization-mode=0;profile-level-id=4d001f
a=rtpmap:40 rtx/90000
a=fmtp:40 apt=39
a=rtpmap:45 AV1/90000
a=rtcp-fb:45 goog-remb
a=rtcp-fb:45 transport-cc
a=rtcp-fb:45 ccm fir
a=rtcp-fb:45 nack
a=rtcp-fb:45 nack pli
a=fmtp:45 level-idx=5;profile=0;tier=0
a=rtpmap:46 rtx/90000
a=fmtp:46 apt=45
a=rtpmap:98 VP9/90000
a=rtcp-fb:98 goog-remb
a=rtcp-fb:98 transport-cc
a=rtcp-fb:98 ccm fir
a=rtcp-fb:98 nack
a=rtcp-fb:98 nack pli
a=fmtp:98 profile-id=0
a=rtpmap:99 rtx/90000
a=fmtp:99 apt=98
a=rtpmap:100 VP9/90000
a=rtcp-fb:100 goog-remb
a=rtcp-fb:100 transport-cc
a=rtcp-fb:100 ccm fir
a=rtcp-fb:100 nack
a=rtcp-fb:100 nack pli
a=fmtp:100 profile-id=2
a=rtpmap:101 rtx/90000
a=fmtp:101 apt=100
a=rtpmap:118 red/90000
a=rtpmap:119 rtx/90000
a=fmtp:119 apt=118
a=rtpmap:120 ulpfec/90000
a=ssrc-group:FID 1175819604 1029629132
a=ssrc:1175819604 cname:s3Gt1FgtVcGnmp2Q
a=ssrc:1175819604 msid:23dc115d-fa5e-4298-83b1-f15a5563f47e b667aeef-e9f6-4fa2-a062-f059d5aac079
a=ssrc:1029629132 cname:s3Gt1FgtVcGnmp2Q
a=ssrc:1029629132 msid:23dc115d-fa5e-4298-83b1-f15a5563f47e b667aeef-e9f6-4fa2-a062-f059d5aac079
m=application 9 UDP/DTLS/SCTP webrtc-datachannel
c=IN IP4 0.0.0.0
a=ice-ufrag:VaR6
a=ice-pwd:lcm3iHxDcm9azLs+BoqVprfi
a=ice-options:trickle
a=fingerprint:sha-256 96:BB:6B:A9:48:B3:35:2D:96:38:1C:0E:50:1F:02:A0:09:0F:DD:12:6E:18:B8:78:9A:01:56:38:04:E9:BA:C8
a=setup:actpass
a=mid:1
a=sctp-port:5000
a=max-message-size:262144
)sdp";

// aiortc: offer with a video track and a data channel in the older "DTLS/SCTP 5000" form; one ICE ufrag per section, candidates and end-of-candidates in each.
inline constexpr const char* kAiortcSendRecvOffer = R"sdp(v=0
o=- 4005800930 4005800930 IN IP4 0.0.0.0
s=-
t=0 0
a=group:BUNDLE 0 1
a=msid-semantic:WMS *
m=video 48351 UDP/TLS/RTP/SAVPF 97 98 99 100 101 102
c=IN IP4 192.0.2.2
a=sendrecv
a=extmap:1 urn:ietf:params:rtp-hdrext:sdes:mid
a=extmap:2 http://www.webrtc.org/experiments/rtp-hdrext/abs-send-time
a=mid:0
a=msid:af545555-6c8c-4d14-af9a-1da64c522c25 7be00202-4982-4e0b-8f62-3206aeeca0e8
a=rtcp:9 IN IP4 0.0.0.0
a=rtcp-mux
a=ssrc-group:FID 943199517 4258764662
a=ssrc:943199517 cname:75ed5f2d-6d26-4cea-afa0-d046bd235412
a=ssrc:4258764662 cname:75ed5f2d-6d26-4cea-afa0-d046bd235412
a=rtpmap:97 VP8/90000
a=rtcp-fb:97 nack
a=rtcp-fb:97 nack pli
a=rtcp-fb:97 goog-remb
a=rtpmap:98 rtx/90000
a=fmtp:98 apt=97
a=rtpmap:99 H264/90000
a=rtcp-fb:99 nack
a=rtcp-fb:99 nack pli
a=rtcp-fb:99 goog-remb
a=fmtp:99 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42001f
a=rtpmap:100 rtx/90000
a=fmtp:100 apt=99
a=rtpmap:101 H264/90000
a=rtcp-fb:101 nack
a=rtcp-fb:101 nack pli
a=rtcp-fb:101 goog-remb
a=fmtp:101 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e01f
a=rtpmap:102 rtx/90000
a=fmtp:102 apt=101
a=candidate:f957a2332b1715da3b0ef8ba684454eb 1 udp 2130706431 192.0.2.2 48351 typ host
a=candidate:d0bcf3d9c29a2bc887618212a1623bfa 1 udp 2130706431 fd00::2 51937 typ host
a=end-of-candidates
a=ice-ufrag:NYr3
a=ice-pwd:93nCtzP8r7kcxqrB0C9Bek
a=fingerprint:sha-256 A3:33:65:C5:DE:03:56:36:83:9F:72:62:02:AB:EE:2A:0F:6A:B9:6A:C9:92:94:2E:83:AB:2E:3F:42:BF:D7:B8
a=setup:actpass
m=application 37573 DTLS/SCTP 5000
c=IN IP4 192.0.2.2
a=mid:1
a=sctpmap:5000 webrtc-datachannel 65535
a=max-message-size:65536
a=candidate:f957a2332b1715da3b0ef8ba684454eb 1 udp 2130706431 192.0.2.2 37573 typ host
a=candidate:d0bcf3d9c29a2bc887618212a1623bfa 1 udp 2130706431 fd00::2 60273 typ host
a=end-of-candidates
a=ice-ufrag:faCw
a=ice-pwd:m1aeYFQT01Ruknv8LD9yeZ
a=fingerprint:sha-256 A3:33:65:C5:DE:03:56:36:83:9F:72:62:02:AB:EE:2A:0F:6A:B9:6A:C9:92:94:2E:83:AB:2E:3F:42:BF:D7:B8
a=setup:actpass
)sdp";

// Chromium: answer to the host offer this library generates (send-only H.264 at 102 plus data).
inline constexpr const char* kChromiumAnswerToOurs = R"sdp(v=0
o=- 3348320255515463503 2 IN IP4 127.0.0.1
s=-
t=0 0
a=group:BUNDLE video data
a=msid-semantic: WMS
m=video 9 UDP/TLS/RTP/SAVPF 102
c=IN IP4 0.0.0.0
a=rtcp:9 IN IP4 0.0.0.0
a=ice-ufrag:idi0
a=ice-pwd:wPyn57UuD+Di17xyZE25T/6u
a=ice-options:trickle
a=fingerprint:sha-256 92:34:11:D6:2A:42:36:7E:AC:06:4C:5D:55:EE:2F:05:9F:4C:99:07:B2:5E:91:C4:40:08:A4:8C:8E:2E:1B:C2
a=setup:active
a=mid:video
a=recvonly
a=rtcp-mux
a=rtpmap:102 H264/90000
a=rtcp-fb:102 ccm fir
a=rtcp-fb:102 nack
a=rtcp-fb:102 nack pli
a=fmtp:102 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e01f
m=application 9 UDP/DTLS/SCTP webrtc-datachannel
c=IN IP4 0.0.0.0
a=ice-ufrag:idi0
a=ice-pwd:wPyn57UuD+Di17xyZE25T/6u
a=ice-options:trickle
a=fingerprint:sha-256 92:34:11:D6:2A:42:36:7E:AC:06:4C:5D:55:EE:2F:05:9F:4C:99:07:B2:5E:91:C4:40:08:A4:8C:8E:2E:1B:C2
a=setup:active
a=mid:data
a=sctp-port:5000
a=max-message-size:4096
)sdp";

// aiortc: answer to the same host offer.
inline constexpr const char* kAiortcAnswerToOurs = R"sdp(v=0
o=- 4005801032 4005801032 IN IP4 0.0.0.0
s=-
t=0 0
a=group:BUNDLE video data
a=msid-semantic:WMS *
m=video 36521 UDP/TLS/RTP/SAVPF 102
c=IN IP4 192.0.2.2
a=recvonly
a=mid:video
a=msid:759826aa-42b6-41dd-aa70-17a0f977df44 f797ab8a-9969-4fb6-8274-5c2d1cd2224a
a=rtcp:9 IN IP4 0.0.0.0
a=rtcp-mux
a=ssrc:3931697316 cname:c0808d0c-c3b7-43ca-8c5a-ed3435fd1a91
a=rtpmap:102 H264/90000
a=rtcp-fb:102 nack
a=rtcp-fb:102 nack pli
a=fmtp:102 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e01f
a=candidate:f957a2332b1715da3b0ef8ba684454eb 1 udp 2130706431 192.0.2.2 36521 typ host
a=candidate:d0bcf3d9c29a2bc887618212a1623bfa 1 udp 2130706431 fd00::2 59466 typ host
a=end-of-candidates
a=ice-ufrag:lucC
a=ice-pwd:REcenFAapU3SysgBRjC5UK
a=fingerprint:sha-256 ED:57:8A:F8:46:EB:A4:CE:8E:69:A4:2A:51:EE:C4:E5:6D:30:A4:51:68:94:B0:62:41:0D:C3:C8:CF:3B:1D:AE
a=setup:active
m=application 36521 UDP/DTLS/SCTP webrtc-datachannel
c=IN IP4 192.0.2.2
a=mid:data
a=sctp-port:5000
a=max-message-size:65536
a=candidate:f957a2332b1715da3b0ef8ba684454eb 1 udp 2130706431 192.0.2.2 36521 typ host
a=candidate:d0bcf3d9c29a2bc887618212a1623bfa 1 udp 2130706431 fd00::2 59466 typ host
a=end-of-candidates
a=ice-ufrag:lucC
a=ice-pwd:REcenFAapU3SysgBRjC5UK
a=fingerprint:sha-256 ED:57:8A:F8:46:EB:A4:CE:8E:69:A4:2A:51:EE:C4:E5:6D:30:A4:51:68:94:B0:62:41:0D:C3:C8:CF:3B:1D:AE
a=setup:active
)sdp";

}  // namespace sdp_fixtures
