#include "platform/win/WinGuidSource.hpp"

#include <windows.h>
#include <objbase.h>

namespace murel::win {

GuidSource coCreateGuidSource() {
    return []() -> std::optional<Guid> {
        GUID guid{};
        if (FAILED(CoCreateGuid(&guid))) return std::nullopt;
        Guid result;
        result.data1 = guid.Data1;
        result.data2 = guid.Data2;
        result.data3 = guid.Data3;
        for (int i = 0; i < 8; ++i) result.data4[i] = guid.Data4[i];
        return result;
    };
}

}  // namespace murel::win
