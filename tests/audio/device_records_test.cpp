#include "audio/device_records.h"

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "audio/hresult.h"

namespace kestravon::ruvi {
namespace {

TEST(DeviceRecords, PhysicalLabelKeyTable) {
    const std::string unit = "BEHRINGER UMC 404HD 192k";
    struct Case {
        std::string name;
        std::string key; // empty: the id
    };
    const std::vector<Case> cases = {
        {"IN 1-2 (" + unit + ")", "umc404hd-label:" + unit},
        {"IN 3-4 (" + unit + ")", "umc404hd-label:" + unit},
        {"IN 1-4 (" + unit + ")", "umc404hd-label:" + unit},
        {"OUT 1-2 (" + unit + ")", "umc404hd-label:" + unit},
        {"OUT 3-4 (" + unit + ")", "umc404hd-label:" + unit},
        {"OUT 1-4 (" + unit + ")", "umc404hd-label:" + unit},
        {"IN 1-2 (2- " + unit + ")", "umc404hd-label:2- " + unit},
        {"OUT 1-4 (12- " + unit + ")", "umc404hd-label:12- " + unit},
        {"IN 5-6 (" + unit + ")", ""},
        {"in 1-2 (" + unit + ")", ""},
        {"IN 1-2 (2a- " + unit + ")", ""},
        {"IN 1-2 (- " + unit + ")", ""},
        {"IN 1-2 (2-" + unit + ")", ""},
        {"IN 1-2 (" + unit + " )", ""},
        {"IN 1-2 (" + unit, ""},
        {"IN 1-2 (Front) (" + unit + ")", ""},
        {"Speakers (Realtek)", ""},
        {")", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(physicalLabelKey(c.name, "id-7"), c.key.empty() ? "id-7" : c.key) << c.name;
    }
}

TEST(DeviceRecords, CatalogueOrderPutsCaptureFirstThenBytewiseIds) {
    std::vector<EndpointInfo> list = {
        {"b", "", "", false, 0, 0, false},       {"z", "", "", true, 0, 0, false},
        {"a", "", "", false, 0, 0, false},       {"ab", "", "", true, 0, 0, false},
        {"\xC3\xA9", "", "", true, 0, 0, false}, {"a", "", "", true, 0, 0, false},
    };
    std::sort(list.begin(), list.end(), endpointInfoLess);
    std::vector<std::string> ids;
    for (const auto& e : list) {
        ids.push_back((e.capture ? "in:" : "out:") + e.id);
    }
    EXPECT_EQ(ids,
              (std::vector<std::string>{"in:a", "in:ab", "in:z", "in:\xC3\xA9", "out:a", "out:b"}));
}

TEST(DeviceRecords, HresultTextHasEightLowerCaseDigits) {
    EXPECT_EQ(hresultText(AUDCLNT_E_BUFFER_TOO_LARGE), "HRESULT 0x88890006");
    EXPECT_EQ(hresultText(E_INVALIDARG), "HRESULT 0x80070057");
    EXPECT_EQ(hresultText(0x1A), "HRESULT 0x0000001a");
    EXPECT_EQ(hresultText(hresultFromErrno(16)), "HRESULT 0x80070010");
}

} // namespace
} // namespace kestravon::ruvi
