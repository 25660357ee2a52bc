"""Python modules generated from ../mediator.proto: messages, their type stub and the service.

Written by the stub_generator program; edit mediator.proto and regenerate instead of editing them.
"""
