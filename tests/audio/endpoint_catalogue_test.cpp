#include "audio/endpoint_catalogue.h"

#include <gtest/gtest.h>

#include "audio/virtual_endpoints.h"
#include "backend_test_support.h"

namespace kestravon::ruvi {
namespace {

using testing::endpoint;

TEST(EndpointCatalogue, EnumeratesCaptureFirstWithAvailabilityFromTheMixFormat) {
    auto set = std::make_shared<VirtualEndpointSet>();
    set->add(endpoint("a-out", DataFlow::render, makeWaveFormat(true, 2, 44100, 32), "Main out"));
    set->add(endpoint("z-in", DataFlow::capture, makeWaveFormat(false, 4, 96000, 24), "Mics"));
    set->add(endpoint("b-8bit", DataFlow::capture, makeWaveFormat(false, 2, 48000, 8, 0, false)));
    VirtualEndpointSetup broken =
        endpoint("c-broken", DataFlow::render, makeWaveFormat(true, 2, 48000, 32));
    broken.mixFormatError = E_FAIL;
    set->add(broken);
    set->add(endpoint("umc", DataFlow::capture, makeWaveFormat(false, 2, 48000, 32, 24),
                      "IN 1-2 (BEHRINGER UMC 404HD 192k)"));
    set->add(endpoint("gone", DataFlow::render, makeWaveFormat(true, 2, 48000, 32)))->remove();
    EndpointCatalogue catalogue({set});

    std::vector<EndpointInfo> list;
    std::string error = "stale";
    enumerateEndpoints(catalogue, list, error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(list.size(), 5u);
    const auto expect = [&](std::size_t i, const std::string& id, bool capture, int channels,
                            int rate, bool available) {
        EXPECT_EQ(list[i].id, id);
        EXPECT_EQ(list[i].capture, capture) << id;
        EXPECT_EQ(list[i].channels, channels) << id;
        EXPECT_EQ(list[i].sampleRate, rate) << id;
        EXPECT_EQ(list[i].available, available) << id;
    };
    expect(0, "virtual:b-8bit", true, 0, 0, false);
    expect(1, "virtual:umc", true, 2, 48000, true);
    expect(2, "virtual:z-in", true, 4, 96000, true);
    expect(3, "virtual:a-out", false, 2, 44100, true);
    expect(4, "virtual:c-broken", false, 0, 0, false);
    EXPECT_EQ(list[1].physicalUnitId, "umc404hd-label:BEHRINGER UMC 404HD 192k");
    EXPECT_EQ(list[2].physicalUnitId, "virtual:z-in");
    EXPECT_EQ(list[2].name, "Mics");
    EXPECT_EQ(list[0].name, "b-8bit");
}

TEST(EndpointCatalogue, EmptySetListsNothingWithoutError) {
    EndpointCatalogue catalogue({std::make_shared<VirtualEndpointSet>()});
    std::vector<EndpointInfo> list(3);
    std::string error;
    enumerateEndpoints(catalogue, list, error);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(error, "");
}

TEST(EndpointCatalogue, SystemCatalogueAlwaysHasTheVirtualPair) {
    std::vector<EndpointInfo> list;
    std::string error;
    enumerateEndpoints(list, error);
    EXPECT_EQ(error, "");
    int found = 0;
    for (const EndpointInfo& e : list) {
        if (e.id == "virtual:output" || e.id == "virtual:tone-input") {
            ++found;
            EXPECT_EQ(e.channels, 2);
            EXPECT_EQ(e.sampleRate, 48000);
            EXPECT_TRUE(e.available);
            EXPECT_EQ(e.capture, e.id == "virtual:tone-input");
        }
    }
    EXPECT_EQ(found, 2);
}

TEST(EndpointCatalogue, RoutesIdsByProviderPrefix) {
    auto set = std::make_shared<VirtualEndpointSet>();
    set->add(endpoint("x", DataFlow::render, makeWaveFormat(true, 2, 48000, 32)));
    EndpointCatalogue catalogue({set});
    std::shared_ptr<AudioEndpointDevice> device;
    EXPECT_EQ(catalogue.getDevice("virtual:x", device), S_OK);
    EXPECT_EQ(device->id(), "virtual:x");
    EXPECT_EQ(catalogue.getDevice("virtual:y", device), E_NOTFOUND);
    EXPECT_EQ(catalogue.getDevice("alsa:virtual:x", device), E_NOTFOUND);
    EXPECT_EQ(catalogue.getDevice("x", device), E_NOTFOUND);
}

} // namespace
} // namespace kestravon::ruvi
