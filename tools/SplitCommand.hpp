// SplitCommand: `quarn split FILE PATH OUTDIR`: writes every element that PATH names as a
// document of its own (OUTDIR/NAME-000001.xml, ...), copied from its original bytes where it can
// be and converted to --out-ccsid when asked, with an XML declaration naming the code page when
// the page is neither UTF-8 nor UTF-16. The records are the children named as PATH's last step
// of every element its other steps select: a path of plain names is walked parent by parent and
// record by record, each deleted once written, so memory stays flat however long the message; a
// path of any other form is split when it selects one parent and refused when it selects more.
// Each record stands alone (StandaloneRecord). The input is checked first without a tree (unless
// --no-check), so a broken message leaves no files; files reach their names as OutputStaging
// says, and the folder holds only what the run wrote (OutputFolder).
// One object per run, on the main thread.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

class KelSyntaxElement;
class QuarnOptions;

class KelParserInspector;

class SplitCommand {
public:
    struct Summary {
        long records = 0;
        unsigned long long bytesIn = 0;
        unsigned long long bytesOut = 0;
        unsigned long removed = 0;   // files of an earlier run removed (--replace)
        unsigned long leftovers = 0; // hidden folders and temporary files of killed runs removed
        double seconds = 0;
    };

    SplitCommand(const QuarnOptions& options, const KelParserInspector& inspector, bool showProgress,
                 std::FILE* progress)
        : iOptions(options), iInspector(inspector), iShowProgress(showProgress), iProgress(progress) {}
    // Raises what the parse or a write raises, QuarnOptions::UsageError for a path it cannot
    // split, StandaloneRecord::Refused for a record that cannot stand alone.
    Summary run();

    static void printSummary(std::FILE* out, const std::string& folder, const Summary& summary);
    static void printJsonSummary(std::FILE* out, const std::string& file, const std::string& folder,
                                 const Summary& summary);

private:
    void showProgress(long records, bool last);

    const QuarnOptions& iOptions;
    const KelParserInspector& iInspector;
    bool iShowProgress;
    std::FILE* iProgress;
    std::chrono::steady_clock::time_point iStart;
    std::chrono::steady_clock::time_point iLastDrawn;
};
