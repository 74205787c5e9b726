// The update folder, Update\ in the program folder: the name of every file
// the updater keeps there and what it is for, and the paths built from them.
// Every layer that touches the folder takes its names from here.
#pragma once

#include <string>
#include <string_view>

namespace updater {

// The folder itself, below the program folder. The updater never creates it:
// without it there is no log, no lock and nowhere to keep a signing time.
inline constexpr char kUpdateFolderName[] = "Update";

// A package waiting to be applied, under the catalogue's file name
// (voxa105.mxu); deleted once applied.
inline constexpr char kPackageSuffix[] = ".mxu";
inline constexpr char kPackagePattern[] = "*.mxu";
// A package's signature (voxa105.mxu.minisig), fetched beside the package
// and kept until the package is applied, so that -onlyapply checks it again.
inline constexpr char kSignatureSuffix[] = ".minisig";
inline constexpr char kPackageSignaturePattern[] = "*.mxu.minisig";
// NAME.part: a file being downloaded or written whole (see WriteFileWhole),
// until it is complete and takes NAME's place in one move. A killed run can
// leave one; the next download of NAME overwrites it, and the start of every
// run removes those in the update folder.
inline constexpr char kPartSuffix[] = ".part";
// NAME.part.source beside a package's NAME.part that a cut download kept for
// the next run: the URL, the announced length and the validator of the body
// it holds the start of, so that the next download of NAME asks only for the
// rest of the same body. It is written before the body's first byte, so a
// run killed during the download leaves it too, and goes once NAME is whole.
// Such a part is not removed at the start of a run; the download of NAME
// resumes it or starts over, and the download step removes those of packages
// it does not fetch.
inline constexpr char kPartSourceSuffix[] = ".source";
// The temporary name of a whole file in updaters before this one
// (NAME.~part); only removed, when a killed one left it.
inline constexpr char kOldPartSuffix[] = ".~part";

// The order in which a run downloaded its packages (the catalogue's), one
// package file name a line, for the apply of that run and of a later
// -onlyapply. It goes when no package it names waits.
inline constexpr char kPackageOrderFile[] = "Packages.order";
// The two copies of the journal of the package being applied; they exist
// only while a package is being applied or a killed apply waits for the next
// run's recovery.
inline constexpr char kApplyJournalName[] = "Apply.journal";
inline constexpr char kApplyJournalCopyName[] = "Apply.journal2";
// "~mx" and a number: a temporary file holding new content beside its target
// until it takes the target's place. In the update folder, the unpacking of
// the new updater into Updater.tmp; elsewhere in the program folder, a
// package's entries.
inline constexpr char kStagingPrefix[] = "~mx";

// The self-update hand-over. The new updater's package while it is
// downloaded and checked:
inline constexpr char kUpdaterPackageFile[] = "Updater.mxu";
// The new program unpacked from it; started with -sr from the update folder,
// it replaces Updater.exe. Removed by the next run.
inline constexpr char kUpdaterCopyFile[] = "Updater.tmp";
// Left by the replacement step for the updater it starts, which removes it:
// that run is the program just put in place.
inline constexpr char kReplacedMarkFile[] = "Updater.replaced";
// Not in the update folder but beside Updater.exe in the program folder: the
// new program copied there before it takes Updater.exe's place in one move.
inline constexpr char kStagedUpdaterFile[] = "Updater.new";

// The signing times of the newest VersionInfo.txt and UpdateServer.lst taken
// (a decimal number of seconds), against a server that replays older ones.
inline constexpr char kCatalogueTimeFile[] = "VersionInfo.timestamp";
inline constexpr char kServerListTimeFile[] = "UpdateServer.timestamp";

// The installation's rollout number (16 hexadecimal digits and CR LF),
// drawn once and kept so that its place in every staged rollout stays the
// same; one that cannot be read is drawn again.
inline constexpr char kRolloutNumberFile[] = "Rollout.number";

// The support log, appended to by every run, and the one kept from before it
// was rotated past its size.
inline constexpr char kLogFileName[] = "Updater.log";
inline constexpr char kOldLogFileName[] = "Updater.log.1";

// The lock that one updater at a time holds for its whole run; the file
// stays, empty.
inline constexpr char kLockFileName[] = "Updater.lock";

// The update folder of `programFolder` (which ends with its separator),
// ending with its own: PROGRAM\Update\.
std::string UpdateFolderPath(const std::string& programFolder);

// A file of the update folder relative to the program folder, as the
// console lines and the apply journal name it: Update\NAME.
std::string InUpdateFolder(std::string_view name);

// True when `name` is a plain file name that stays in the folder it is
// joined to: not empty, not "." or "..", and without "\", "/" or ":". Dots
// elsewhere ("VOXA_1.05..final.mxu") are part of the name. A catalogue's
// package file name must be one to be downloaded into the update folder.
bool IsPlainFileName(std::string_view name);

// True when `name` is a plain file name (see IsPlainFileName) ending with
// ".mxu" in any letter case: a package in the update folder.
bool IsPackageFileName(std::string_view name);

// Where a file at `path` is written or downloaded until it is complete:
// `path` + ".part", in the same folder.
std::string PartPath(const std::string& path);

}  // namespace updater
