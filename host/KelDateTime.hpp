// Calendar values carried by KelValue: dates, times of day and timestamps, local or GMT.
// Plain value types with no ownership and no thread rules of their own. Each renders itself as
// ISO 8601 text (fractions of a second only when present; GMT values end in "Z").
#pragma once

#include <cstdint>
#include <string>

struct KelDate {
    int year = 1970;
    int month = 1;   // 1..12
    int day = 1;     // 1..31
    std::string toIso() const;                       // "2026-12-07"
    bool operator==(const KelDate& o) const { return year == o.year && month == o.month && day == o.day; }
};

struct KelTime {
    int hour = 0;
    int minute = 0;
    int second = 0;
    int microsecond = 0;
    std::string toIso() const;                       // "10:11:12" or "10:11:12.250"
    bool operator==(const KelTime& o) const {
        return hour == o.hour && minute == o.minute && second == o.second && microsecond == o.microsecond;
    }
};

struct KelGmtTime : KelTime {
    std::string toIso() const { return KelTime::toIso() + "Z"; }
};

struct KelTimeStamp {
    KelDate date;
    KelTime time;
    std::string toIso() const { return date.toIso() + "T" + time.toIso(); }
    bool operator==(const KelTimeStamp& o) const { return date == o.date && time == o.time; }
};

struct KelGmtTimeStamp : KelTimeStamp {
    std::string toIso() const { return KelTimeStamp::toIso() + "Z"; }
};
