#pragma once

#include "settings/module1.h"

#include <QString>
#include <array>
#include <optional>

// The settings of a folder as an administrator names them (link.A=10.0.0.5:502,
// link.A.connect=yes, slot.1=A:100:10, slot.1.type=f32:cdab, ...), read from and written to
// setting.ini as the window reads and saves it. Plain functions and values: no widgets.
namespace settings
{

struct SiteSettings {
    static constexpr int LinkCount = 3;
    static constexpr int SlotCount = 5;

    // The texts of the keys, as stored (or their defaults).
    std::array<QString, LinkCount> scon, port, host;
    std::array<QString, SlotCount> start, count, link;
    // The per-slot format keys; empty while the file does not hold the key.
    std::array<QString, SlotCount> unit, object, type;
};

// What the folder's setting.ini holds, with the window's defaults for what it does not.
SiteSettings readSite(const Module1::StoredSettings &stored);

// Applies one NAME=VALUE; the reason, for a person, when it is no valid setting.
std::optional<QString> applySetting(SiteSettings &site, const QString &assignment);

// The entries the window's save would write for these settings: the 24 keys, then a slot's
// unit, object and type where the file holds them or they differ from their defaults.
Module1::Entries savedEntries(const SiteSettings &site);

// Every setting as NAME=VALUE lines that --set takes back, each explained after a '#'.
QString describeSite(const SiteSettings &site);

// The section the keys live in.
QString section();

} // namespace settings
