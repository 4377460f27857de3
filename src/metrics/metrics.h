// SPDX-License-Identifier: BSD-2-Clause
// The counters since start as a Prometheus text file, for node_exporter's
// textfile collector: replaced whole by a rename, so a reader never sees
// part of one.
#pragma once

// Notes the start and writes the first file; once the socket is bound.
void Metrics_Open();

// Writes Settings.metrics anew through "<path>.tmp". A failure is logged
// once, and again only after a write has succeeded since.
void Metrics_Write();
