#include "media/MediaError.hpp"

namespace murel {

std::string hresultFailureText(std::string_view step, std::uint32_t hresult) {
    return std::string(step) + " failed (HRESULT " + std::to_string(hresult) + ")";
}

std::string windowsErrorFailureText(std::string_view step, std::uint32_t error) {
    return std::string(step) + " failed (Windows error " + std::to_string(error) + ")";
}

std::string libraryFailureText(std::string_view step, std::string_view library, std::int64_t code) {
    return std::string(step) + " failed (" + std::string(library) + " error " + std::to_string(code) + ")";
}

}  // namespace murel
