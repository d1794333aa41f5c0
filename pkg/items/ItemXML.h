#pragma once

#include "pkg/items/IPkgItem.h"

#include <cstdint>
#include <string>

namespace vex::pkg
{
// Part of the item model for older packages; no chunk type produces it any more.
class ItemXML : public IPkgItem
{
public:
    void accept(IPkgItemVisitor& visitor) override;

    int16_t firstId() const { return firstId_; }
    void setFirstId(int16_t id) { firstId_ = id; }
    int16_t secondId() const { return secondId_; }
    void setSecondId(int16_t id) { secondId_ = id; }
    const std::string& text() const { return text_; }
    void setText(const std::string& text) { text_ = text; }

private:
    int16_t firstId_ = -1;
    int16_t secondId_ = -1;
    std::string text_;
};

}  // namespace vex::pkg
