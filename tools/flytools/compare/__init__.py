# compare: a comparison of runs as one call, for flycompare and flyrun alike.
