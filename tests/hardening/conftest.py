"""The hardening tests share their helpers through hardening._hardening_helpers."""
