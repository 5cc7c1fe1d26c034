// Posterior summaries of all records, in pieces on the pool's threads; each
// piece writes only its own rows.
#include "grouping/posteriors.h"

namespace tarnek {

namespace {

// Records handed to a thread at a time.
constexpr size_t kRecordsPerPiece = 4096;

}  // namespace

PosteriorTable SummarizeAllPosteriors(const RecordTable& table, const PriorSet& priors,
                                      const PosteriorSettings& settings, PosteriorDetail detail, WorkerPool& pool) {
  const size_t n = table.Size();
  PosteriorTable t;
  const bool full = detail == PosteriorDetail::Full;
  for (std::vector<double>* column : {&t.Eb, &t.PriorMean, &t.PriorSd}) column->resize(n);
  if (full) {
    for (std::vector<double>* column : {&t.Sd, &t.Median, &t.Lower, &t.Upper, &t.PExceed}) column->resize(n);
  }
  pool.Run(n, kRecordsPerPiece, [&](size_t first, size_t last, int) {
    for (size_t row = first; row < last; ++row) {
      const RegionPrior& prior = priors.Records[row];
      if (full) {
        const PosteriorSummary s = SummarizePosterior(table.Data1[row], table.Data2[row], prior, settings);
        t.Eb[row] = s.Eb;
        t.Sd[row] = s.Sd;
        t.Median[row] = s.Median;
        t.Lower[row] = s.Lower;
        t.Upper[row] = s.Upper;
        t.PExceed[row] = s.PExceed;
        t.PriorMean[row] = s.PriorMean;
        t.PriorSd[row] = s.PriorSd;
      } else {
        t.Eb[row] = PosteriorMean(table.Data1[row], table.Data2[row], prior);
        t.PriorMean[row] = PriorMeanOf(prior);
        t.PriorSd[row] = PriorSdOf(prior);
      }
    }
  });
  return t;
}

}  // namespace tarnek
