"""Quandrel: native numerical kernels for the modelling package."""
