// The search dispatcher, the readiness questions and the six backends.
#pragma once

#include <cstddef>

#include "config/ws_config.h"
#include "search/ws_registry.h"
#include "search/ws_results.h"

// The configured provider when it names a backend, else "duckduckgo"; never NULL.
const char *ws_provider_active(const ws_config *cfg);
int ws_provider_has_key(const ws_config *cfg, const char *id);
int ws_provider_ready(const ws_config *cfg, const char *id);

// 0 success (the list may be empty), -1 backend failure, -2 unacceptable
// request; the message goes to err, the upstream HTTP status to *status_out.
int ws_search(const ws_config *cfg, const char *provider, const char *query, int count,
              const char *country, const char *language, const char *freshness, const char *safe,
              ws_results *list, int *status_out, char *err, size_t err_size);

int search_duckduckgo(const ws_config *cfg, const char *query, int count, const char *region,
                      const char *safe, ws_results *list, int *status_out, char *err,
                      size_t err_size);
int search_searxng(const ws_config *cfg, const char *query, int count, const char *language,
                   const char *safe, ws_results *list, int *status_out, char *err, size_t err_size);
int search_brave(const ws_config *cfg, const char *query, int count, const char *country,
                 const char *language, const char *freshness, ws_results *list, int *status_out,
                 char *err, size_t err_size);
int search_tavily(const ws_config *cfg, const char *query, int count, ws_results *list,
                  int *status_out, char *err, size_t err_size);
int search_exa(const ws_config *cfg, const char *query, int count, ws_results *list,
               int *status_out, char *err, size_t err_size);
int search_perplexity(const ws_config *cfg, const char *query, int count, ws_results *list,
                      int *status_out, char *err, size_t err_size);
