#pragma once

// The numbers that the dialog, the worker and the steps of an update agree on. The signals carry
// them as int, as the dialog and other programs connected to the worker expect.
namespace Contract {

// The final status of a run, one per run.
namespace Status {
inline constexpr int installed = 0;       // "All updates have been installed."
inline constexpr int nothingNewer = 1;    // "You have new software version. No need update."
inline constexpr int backupFailed = -1;   // "Can't create backup."
inline constexpr int databaseFailed = -2; // opening a database, or a statement on it, failed
inline constexpr int replaceFailed = -3;  // the new database could not take its place
inline constexpr int refused = -4;        // "Some updates could not be installed."
} // namespace Status

// Progress of the whole run, out of total.
namespace Progress {
inline constexpr int total = 1000;
inline constexpr int started = 0;
inline constexpr int backupBegun = 100;
inline constexpr int backedUp = 200;
inline constexpr int unpacked = 300;
// The merge moves from unpacked to merged, one step per own model.
inline constexpr int merged = 700;
inline constexpr int databaseInPlace = 800;
inline constexpr int otherFiles = 900;
inline constexpr int finished = total;
} // namespace Progress

// UpdateInfo/updateMode of the offer: which own models are uploaded; any other value sends none.
namespace UpdateMode {
inline constexpr int notYetSent = 2;
inline constexpr int all = 3;
} // namespace UpdateMode

} // namespace Contract
