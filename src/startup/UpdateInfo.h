#pragma once

#include <QString>

// What the start-up hands to the window: the installation to update and how.
struct UpdateInfo
{
    QString appPath;      // the product's main executable; its folder is the product folder
    QString newVersion;   // version being installed
    QString downloadUrl;  // address of the update package
    QString mode;         // the -m value, unchanged ("auto" unless given)
    QString memo;         // release notes, may be empty
    QString sha256;       // expected package digest, may be empty; checked by the engine
    QString signature;    // Base64 Ed25519 signature of the package, may be empty; checked by the engine
    int trialSeconds = 0; // how long the new version is on trial after the restart; 0: final at once
};
