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
