#pragma once

// A package holding one tar item made the packaging procedure's way, loaded back for the engine's passes.

#include "pkg/items/ItemTar.h"
#include "pkg/writer/TarItemBuilder.h"
#include "tests/support/WriteAndLoadPackage.h"

#include <memory>
#include <string>

class TarItemPackage
{
public:
    TarItemPackage(const std::string& packagePath, const vex::pkg::writer::TarItemBuilder& builder,
                   const std::string& destination)
    {
        test_support::writePackage(
            packagePath, [&](vex::pkg::writer::PackageWriter& writer)
            { builder.AddTo(writer, destination, vex::pkg::writer::TarItemBuilder::Compression::Gzip); });
        package.reset(new test_support::LoadedPackage(packagePath));
        for (const auto& item : package->items())
        {
            items.push_back(item);
            if (auto* found = dynamic_cast<vex::pkg::ItemTar*>(item.get()))
                tar = found;
        }
    }

    std::unique_ptr<test_support::LoadedPackage> package;
    test_support::ItemList items;
    vex::pkg::ItemTar* tar = nullptr;
};
