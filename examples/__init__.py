"""Synthetic multi-camera measurements and the end-to-end demo of native_kestrine."""
