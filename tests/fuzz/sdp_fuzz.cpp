// Feeds arbitrary text to the session-description parser. What parses must generate text that parses
// again to the same text (the generator's output is always readable by the parser), and the editing
// calls the peer makes on a received offer must hold on whatever was parsed.
#include "rtc/Candidate.hpp"
#include "rtc/Description.hpp"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  try {
    rtc::Candidate candidate(text.substr(0, 512), "0");
    rtc::Candidate again(candidate.candidate(), candidate.mid());
    if (again != candidate) __builtin_trap();
  } catch (const std::invalid_argument&) {
  }

  std::string first;
  try {
    rtc::Description description(text, "offer");
    first = description.generateSdp();
    for (unsigned i = 0; i < description.mediaCount(); ++i) {
      auto entry = description.media(i);
      if (auto** media = std::get_if<rtc::Description::Media*>(&entry)) {
        rtc::Description::Media copy = **media;
        for (int pt : copy.payloadTypes())
          if (auto* map = copy.rtpMap(pt)) {
            map->removeFeedback("transport-cc");
            if (map->format != "H264") copy.removeRtpMap(pt);
          }
        for (int id : copy.extIds())
          if (copy.extMap(id) && copy.extMap(id)->uri.find("transport-wide-cc") != std::string::npos) copy.removeExtMap(id);
        copy.reciprocate().generateSdp();
        copy.generateSdp("\n");
      }
    }
    description.extractCandidates();
    description.generateSdp();
  } catch (const std::invalid_argument&) {
    return 0;
  }
  // Outside the try: a failure to read our own output is a crash.
  rtc::Description second(first, "offer");
  if (second.generateSdp() != first) __builtin_trap();
  return 0;
}
