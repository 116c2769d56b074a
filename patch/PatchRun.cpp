#include "patch/PatchRun.h"

#include "fileset/FilesToPatch.h"
#include "patch/Mirrors.h"
#include "patch/PatchExceptions.h"
#include "patch/PatchServer.h"
#include "patch/RunContext.h"
#include "patch/RunSurface.h"
#include "patch/Trust.h"
#include "state/FileVersionFile.h"
#include "state/LocalFiles.h"
#include "state/VerifiedFiles.h"

namespace {

const char kVerifyCaption[] = "Verify Unsuccessful Error";
const char kVerifyText[] =
    "The Launcher has downloaded the game data files from the Patch Server.  But for some "
    "reason, when the Launcher went to verify that the files were properly downloaded, it found "
    "that they were NOT properly downloaded and/or written to your hard drive.  The Launcher is "
    "unsure of the exact reason for this.\n\nIt's possible that trying to download the patch "
    "again may fix the problem.  If this problem occurs repeatedly, it's possible that the files "
    "on the patch server may have a problem, and that the game developers need time to discover "
    "and fix the problem.  In that case, try waiting a few hours (or maybe a day) and then try "
    "again.";

const char kWriteFailureCaption[] = "Launcher Cannot Update File";
const char kWriteFailureText[] =
    "The Launcher needs to update the game files in order to update this game.  However, it is "
    "getting some sort of weird error when it tries to write or update a file.  The Launcher "
    "does not understand this error.\n\nDue to this error, the patch process has been "
    "cancelled.  The Launcher needs to write the files properly before you can play the game.  "
    "You can try hitting OK and then clicking on Download to try the patch process again.";

const char kServerUnavailableCaption[] = "Patch Server Unavailable";
const char kServerUnavailableText[] =
    "Before you can play this game, the Launcher needs to contact the Patch Server to download "
    "and install all the latest updates to the game.\n\nBut the Launcher is unable to contact "
    "the Patch Server, and it's not sure why.  This could be for one of the following "
    "reasons:\n\n1.  You're not connected to the Internet.  To fix that, click OK, connect to "
    "the Internet, and then click Download Patch...\n2.  The Patch Server may be down due to a "
    "power or service outage.  It also goes down for maintenance every once in a while.  To fix "
    "that, please try running this Launcher again at a later time.  Sorry about that.\n3.  "
    "Martians from outer space have come down and eaten the Patch Server.  To fix that, get in a "
    "spaceship and follow them.";

const char kPatchProblemCaption[] = "Uh oh!  A problem during the patch process";
const char kPatchProblemText[] =
    "The Launcher was able to contact the Patch Server at the beginning of the patch process.  "
    "However, somewhere along the way, a problem occured.  The Launcher does not know which "
    "problem occured.  Maybe you lost your Internet connection?  Or it could be that the Patch "
    "Server went offline DURING the patch process, due to a power outage, service outage, or "
    "maintenance.  Or maybe Martians came down and ate the Patch Server.  Anyway, before you can "
    "play this game, the patch process has to successfully complete.  So please wait a while and "
    "try patching again later.  Click OK, make sure you're still connected to the Internet, then "
    "close and reopen the Launcher to try again.  Maybe the Patch Server will come back up at "
    "some point.  Maybe the Martians will decide to return it to Earth!";

const char kLauncherProblemCaption[] = "Uh-oh!  Problem with Launcher";
const char kLauncherProblemText[] =
    "Some weird problem occured.  The Launcher isn't sure what happened.  It just knows that "
    "there's a problem.  There could be a glitch in the Launcher.";

const char kUntrustedCaption[] = "Update Could Not Be Verified";
const char kUntrustedText[] =
    "The Launcher found an update on the Patch Server, but it could not verify that the update "
    "really comes from the makers of the game.  The update could not be verified and nothing was "
    "changed: no game file was downloaded, replaced or started.\n\nThis can happen when "
    "someone on your network tampers with what the Launcher receives, or while the Patch Server "
    "is being updated.  Please try again later, or from another network.  If it keeps "
    "happening, tell the game's support what the reason below says.\n\nReason: ";

}  // namespace

void ShowUntrustedBuildBox(TrustCheck check) {
    g_patchDialog->ShowMessageBox(kUntrustedCaption,
                                  std::string(kUntrustedText) + TrustCheckText(check) + ".");
}

void ShowWriteFailureBox() {
    g_patchDialog->ShowMessageBox(kWriteFailureCaption, kWriteFailureText);
}

void ShowStageFailureBox(int stage) {
    switch (stage) {
        case 0:
            g_patchDialog->ShowMessageBox(kServerUnavailableCaption, kServerUnavailableText);
            break;
        case 1:
            g_patchDialog->ShowMessageBox(kPatchProblemCaption, kPatchProblemText);
            break;
        default:
            g_patchDialog->ShowMessageBox(kLauncherProblemCaption, kLauncherProblemText);
            break;
    }
}

unsigned PatchThreadProc(void* param) {
    RunContext run;
    return PatchThreadProc(*static_cast<RunSurface*>(param), run);
}

unsigned PatchThreadProc(RunSurface& surface, RunContext& run) {
    g_patchDialog = &surface;
    RunSurface& dialog = *g_patchDialog;
    dialog.m_launcherUpdatePending = false;

    FilesToPatch filesToPatch;
    g_fileVersionFile = new FileVersionFile();

    dialog.SetStageText("Connecting to patch server...");
    dialog.SetStatusText("Checking for game updates...");
    ReadPatchServerAddress(run.tls);
    BeginRunNetwork(run, BuildPatchUrl(""));
    BeginServers(run);
    RemoveStaleTemporaryFiles();
    RemoveStaleStagingFiles();
    if (TrustRequired())
        filesToPatch.verifiedFiles = std::make_shared<VerifiedFiles>();

    int stage = 0;
    bool success = false;
    bool buildTrusted = !TrustRequired();
    try {
        stage = 0;
        dialog.SetStageText("Downloading info from patch server...");
        DropUnverifiedCopies();
        FetchBuildFolder(run);
        if (buildTrusted) {
            FetchManifest(run, filesToPatch);
            TakeMirrorList(run, nullptr);
        } else {
            // Not a line of a manifest is read before its statement says it
            // is the signed one.
            FetchManifestFile(run);
            BuildStatement accepted;
            TrustCheck check = CheckBuildStatement(run, &accepted);
            if (check == TrustCheck::kPassed) {
                ReadManifestLines(filesToPatch);
                check = AcceptBuild(filesToPatch, accepted);
            }
            if (check != TrustCheck::kPassed)
                throw UntrustedBuildException(check);
            if (!KeepVerifiedCopies())
                throw DownloadFailedException();
            buildTrusted = true;
            TakeMirrorList(run, &accepted);
        }

        stage = 1;
        dialog.SetStageText("Checking files...");
        filesToPatch.CheckFileNames();

        dialog.SetStageText("Downloading file sizes...");
        filesToPatch.DownloadFileSizes(run);

        dialog.SetStageText("Determining which files to download...");
        filesToPatch.DetermineFilesToDownload(run);
        if (run.repair)
            run.repairCounts = filesToPatch.MarkDamagedFiles(run);
        filesToPatch.ChooseWays(run);
        filesToPatch.ComputeDownloadSize();

        dialog.SetStageText("Downloading files...");
        dialog.m_launcherUpdatePending = false;
        filesToPatch.DownloadFiles(run);

        dialog.SetProgressRange(0, 1);
        dialog.SetProgressPos(1);

        stage = 2;
        dialog.SetStageText("Verifying files...");
        success = filesToPatch.VerifyFiles(run);
        dialog.SetStageText(" ");

        if (!success)
            dialog.ShowMessageBox(kVerifyCaption, kVerifyText);
        else
            dialog.SetStageText("You may now click Play to enter the game.");
    } catch (const UntrustedBuildException& refused) {
        success = false;
        LogFailure(run, std::string("trust: ") + TrustCheckText(refused.check));
        ShowUntrustedBuildBox(refused.check);
    } catch (const CouldntWriteFileException&) {
        success = false;
        ShowWriteFailureBox();
    } catch (const DownloadFailedException&) {
        success = false;
        ShowStageFailureBox(stage);
    } catch (...) {
        success = false;
        ShowStageFailureBox(stage);
    }

    if (!buildTrusted)
        DropUnverifiedCopies();

    if (success) {
        filesToPatch.GetGameExe(dialog.m_gameExe);
        filesToPatch.GetTestClient(dialog.m_testClient);
    } else {
        dialog.m_launcherUpdatePending = false;
    }

    // The record of hashed files is saved with the ledger, before the run ends.
    filesToPatch.verifiedFiles.reset();
    if (g_fileVersionFile) {
        delete g_fileVersionFile;
        g_fileVersionFile = nullptr;
    }
    dialog.RunFinished(success);
    return 0;
}
