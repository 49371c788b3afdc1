#include "host/KelCodePageTable.hpp"

const std::vector<KelCodePageTable::Entry>& KelCodePageTable::entries() noexcept {
    // Built on first use, so that no other object's construction at load can find it empty.
    static const std::vector<Entry> kEntries = {
        {1208, "UTF-8", "UTF-8"},
        {819, "ISO-8859-1", "ISO-8859-1"},
        {367, "US-ASCII", "US-ASCII"},
        {923, "ibm-923_P100-1998", "ISO-8859-15"},
        {437, "ibm-437_P100-1995", nullptr},
        {850, "ibm-850_P100-1995", nullptr},
        {852, "ibm-852_P100-1995", nullptr},
        {858, "ibm-858_P100-1997", "IBM00858"},
        {1250, "ibm-5346_P100-1998", nullptr},   // windows-1250
        {1251, "ibm-5347_P100-1998", nullptr},   // windows-1251
        {1252, "ibm-5348_P100-1997", nullptr},   // windows-1252
        {1253, "ibm-5349_P100-1998", nullptr},   // windows-1253
        {1254, "ibm-5350_P100-1998", nullptr},   // windows-1254
        {1255, "ibm-9447_P100-2002", nullptr},   // windows-1255
        {1256, "ibm-9448_X100-2005", nullptr},   // windows-1256
        {1257, "ibm-9449_P100-2002", nullptr},   // windows-1257
        {1258, "ibm-5354_P100-1998", nullptr},   // windows-1258
        {37, "ibm-37_P100-1995", nullptr},
        {273, "ibm-273_P100-1995", nullptr},
        {277, "ibm-277_P100-1995", nullptr},
        {278, "ibm-278_P100-1995", nullptr},
        {280, "ibm-280_P100-1995", nullptr},
        {284, "ibm-284_P100-1995", nullptr},
        {285, "ibm-285_P100-1995", nullptr},
        {297, "ibm-297_P100-1995", nullptr},
        {500, "ibm-500_P100-1995", nullptr},
        {871, "ibm-871_P100-1995", nullptr},
        {1047, "ibm-1047_P100-1995", nullptr},
        {1140, "ibm-1140_P100-1997", nullptr},
        {1141, "ibm-1141_P100-1997", nullptr},
        {1142, "ibm-1142_P100-1997", nullptr},
        {1143, "ibm-1143_P100-1997", nullptr},
        {1144, "ibm-1144_P100-1997", nullptr},
        {1145, "ibm-1145_P100-1997", nullptr},
        {1146, "ibm-1146_P100-1997", nullptr},
        {1147, "ibm-1147_P100-1997", nullptr},
        {1148, "ibm-1148_P100-1997", nullptr},
        {1149, "ibm-1149_P100-1997", nullptr},
        {943, "ibm-943_P15A-2003", "Windows-31J"},   // Shift-JIS; before 932, which shares its table
        {932, "ibm-943_P15A-2003", "Windows-31J"},   // Shift-JIS
        {1386, "windows-936-2000", "GBK"},
        {5050, "euc-jp-2007", "EUC-JP"},
    };
    return kEntries;
}

const KelCodePageTable::Entry* KelCodePageTable::find(int ccsid) noexcept {
    for (const Entry& entry : entries())
        if (entry.ccsid == ccsid) return &entry;
    return nullptr;
}
