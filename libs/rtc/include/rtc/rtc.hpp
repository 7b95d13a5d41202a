#pragma once
// Everything of the WebRTC layer an application uses.

#include "rtc/Candidate.hpp"
#include "rtc/Configuration.hpp"
#include "rtc/DataChannel.hpp"
#include "rtc/Description.hpp"
#include "rtc/IceServer.hpp"
#include "rtc/MediaHandler.hpp"
#include "rtc/Message.hpp"
#include "rtc/PeerConnection.hpp"
#include "rtc/Reliability.hpp"
#include "rtc/Track.hpp"

// Media handlers for a track's chain.
#include "rtc/H264RtpDepacketizer.hpp"
#include "rtc/H264RtpPacketizer.hpp"
#include "rtc/H265RtpDepacketizer.hpp"
#include "rtc/PliHandler.hpp"
#include "rtc/RtcpNackResponder.hpp"
#include "rtc/RtcpReceivingSession.hpp"
#include "rtc/RtcpSrReporter.hpp"
#include "rtc/RtpDepacketizer.hpp"
#include "rtc/RtpPacketizationConfig.hpp"
#include "rtc/RtpPacketizer.hpp"
