#include "shell/page_message.h"

#include "remote/bounded_json.h"
#include "shell/request_front.h"
#include "shell/secret_wipe.h"

#include <exception>
#include <stdexcept>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;

Json readBounded(std::string_view text) {
    if (text.size() > kMaxPageMessageBytes) {
        throw std::runtime_error(kPageMessageTooLargeText);
    }
    return boundedJson(text);
}

// Wipes every string of the request on the way out, whatever path it takes.
struct RequestWipe {
    Json& request;
    ~RequestWipe() { wipeJsonStrings(request); }
};

bool startedJob(const Json& reply) {
    if (!reply.is_object() || !reply.value("ok", false)) {
        return false;
    }
    const auto result = reply.find("result");
    return result != reply.end() && result->is_object() && result->value("pending", false);
}

} // namespace

Json readPageMessage(std::string_view text) {
    Json value = readBounded(text);
    if (value.is_string()) {
        std::string inner = std::move(value.get_ref<std::string&>());
        value = Json();
        try {
            value = readBounded(inner);
        } catch (...) {
            wipeString(inner);
            throw;
        }
        wipeString(inner);
    }
    return value;
}

std::optional<Json> answerPageMessage(RequestFront& front, std::string_view text) {
    Json request;
    RequestWipe wipe{request};
    try {
        request = readPageMessage(text);
        Json reply = front.localRequest(request);
        if (startedJob(reply)) {
            return std::nullopt;
        }
        return reply;
    } catch (const std::exception& e) {
        return Json{{"id", 0}, {"ok", false}, {"error", e.what()}};
    }
}

} // namespace kestravon::ruvi
