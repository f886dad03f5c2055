// Figures of the list line parser on a 100,000-line listing, in lines per second: Unix
// long-form lines as the FTP lister hands them on (" FTP 0" already inserted), and MS-DOS
// style lines, each rewritten by ConvertDosListLine before it is parsed. The listing array
// is emptied before each pass, as a lister does before each listing.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/file_list_format.h"

namespace {

constexpr int kLines = 100000;

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A mix of what servers send: files with a time or a year, folders, links, names with
// blanks, sizes up to a few GiB.
std::vector<std::string> UnixListing()
{
    std::vector<std::string> lines;
    lines.reserve(kLines);
    char buffer[256];
    for (int i = 0; i < kLines; ++i) {
        const unsigned long long size = (i % 7 == 0) ? 3000000000ull + static_cast<unsigned long long>(i)
                                                     : static_cast<unsigned long long>(i) * 37 % 1048576;
        const char* month = kMonths[i % 12];
        const int day = i % 28 + 1;
        switch (i % 5) {
        case 0:
            std::snprintf(buffer, sizeof buffer,
                          "drwxr-xr-x FTP 0    2 tester   users        4096 %s %2d %02d:%02d folder %d\r\n",
                          month, day, i % 24, i % 60, i);
            break;
        case 1:
            std::snprintf(buffer, sizeof buffer,
                          "lrwxrwxrwx FTP 0    1 tester   users          12 %s %2d  2019 link-%d -> target %d\r\n",
                          month, day, i, i);
            break;
        case 2:
            std::snprintf(buffer, sizeof buffer,
                          "-rw-r--r-- FTP 0    1 tester   users  %10llu %s %2d  2021 old report %d.pdf\r\n", size,
                          month, day, i);
            break;
        default:
            std::snprintf(buffer, sizeof buffer,
                          "-rw-r--r-- FTP 0    1 tester   users  %10llu %s %2d %02d:%02d file-%06d.dat\r\n", size,
                          month, day, i % 24, i % 60, i);
            break;
        }
        lines.emplace_back(buffer);
    }
    return lines;
}

std::vector<std::string> DosListing()
{
    std::vector<std::string> lines;
    lines.reserve(kLines);
    char buffer[256];
    for (int i = 0; i < kLines; ++i) {
        const int hour = i % 12 + 1;
        const char* half = (i / 12) % 2 ? "PM" : "AM";
        if (i % 5 == 0) {
            std::snprintf(buffer, sizeof buffer, "%02d-%02d-%02d  %02d:%02d%s       <DIR>          Folder %d\r\n",
                          i % 12 + 1, i % 28 + 1, i % 20, hour, i % 60, half, i);
        } else {
            std::snprintf(buffer, sizeof buffer, "%02d-%02d-%04d  %02d:%02d%s %20llu file %d.txt\r\n", i % 12 + 1,
                          i % 28 + 1, 1995 + i % 30, hour, i % 60, half,
                          static_cast<unsigned long long>(i) * 4099, i);
        }
        lines.emplace_back(buffer);
    }
    return lines;
}

const std::string kUser = "tester";
const std::string kPassword = "secret";
const std::string kAddress = "ftp.example.org:21";
const std::string kFolder = "/pub/releases/";
const std::string kEmpty;
const std::string kTime = "0:00";

void BM_ParseUnixListing(benchmark::State& state)
{
    const std::vector<std::string> lines = UnixListing();
    CTransferRecordArray listing;
    listing.Reserve(kLines);
    for (auto _ : state) {
        listing.RemoveAll();
        for (const std::string& line : lines)
            ParseListLine(kUser, kPassword, listing, kAddress, kFolder, line, kEmpty, kEmpty, kTime);
        benchmark::DoNotOptimize(listing.GetSize());
    }
    if (listing.GetSize() != kLines)
        state.SkipWithError("not every line was parsed");
    state.SetItemsProcessed(state.iterations() * kLines);
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kLines,
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseUnixListing)->Unit(benchmark::kMillisecond);

void BM_ConvertAndParseDosListing(benchmark::State& state)
{
    const std::vector<std::string> lines = DosListing();
    CTransferRecordArray listing;
    listing.Reserve(kLines);
    std::string line;
    std::string year;
    for (auto _ : state) {
        listing.RemoveAll();
        for (const std::string& raw : lines) {
            line = raw;
            ConvertDosListLine(line, year);
            line.insert(line.find(' '), " FTP 0");
            ParseListLine(kUser, kPassword, listing, kAddress, kFolder, line, kEmpty, year, kTime);
        }
        benchmark::DoNotOptimize(listing.GetSize());
    }
    if (listing.GetSize() != kLines)
        state.SkipWithError("not every line was parsed");
    state.SetItemsProcessed(state.iterations() * kLines);
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kLines,
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ConvertAndParseDosListing)->Unit(benchmark::kMillisecond);

// The floor under both figures: appending 100,000 copies of an entry that is already
// filled, which is what the parser ends with for every line.
void BM_AppendFilledEntries(benchmark::State& state)
{
    CTransferRecordArray parsed;
    ParseListLine(kUser, kPassword, parsed, kAddress, kFolder, UnixListing()[3], kEmpty, kEmpty, kTime);
    const CTransferRecord entry = parsed[0];
    CTransferRecordArray listing;
    listing.Reserve(kLines);
    for (auto _ : state) {
        listing.RemoveAll();
        for (int i = 0; i < kLines; ++i)
            listing.Add(entry);
        benchmark::DoNotOptimize(listing.GetSize());
    }
    state.SetItemsProcessed(state.iterations() * kLines);
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kLines,
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AppendFilledEntries)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
