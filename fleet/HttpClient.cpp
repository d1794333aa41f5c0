#include "fleet/HttpClient.h"

namespace vex::fleet
{
const std::string* HttpResponse::header(const std::string& lowerCaseName) const
{
    for (const auto& field : headers)
        if (field.first == lowerCaseName)
            return &field.second;
    return nullptr;
}

}  // namespace vex::fleet
