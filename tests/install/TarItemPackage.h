#pragma once

// A package holding one tar item made the packaging procedure's way, loaded back for the engine's passes.

#include "ItemTar.h"
#include "TarItemBuilder.h"
#include "WriteAndLoadPackage.h"

#include <memory>
#include <string>

class TarItemPackage
{
public:
    TarItemPackage(const std::string& packagePath, const TarItemBuilder& builder,
                   const std::string& destination)
    {
        test_support::writePackage(
            packagePath, [&](PackageWriter& writer)
            { builder.AddTo(writer, destination, TarItemBuilder::Compression::Gzip); });
        package.reset(new test_support::LoadedPackage(packagePath));
        for (const auto& item : package->items())
        {
            items.push_back(item);
            if (auto* found = dynamic_cast<ItemTar*>(item.get()))
                tar = found;
        }
    }

    std::unique_ptr<test_support::LoadedPackage> package;
    test_support::ItemList items;
    ItemTar* tar = nullptr;
};
