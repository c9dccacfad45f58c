#pragma once

// The process-local handle of one named bus: turns topic names into topic directories, creates a
// topic's publisher the first time this process publishes to it and keeps it, opens
// subscriptions by topic name, reports slow subscribers and removes a topic's files.
//
// Layout: topic directory = base_dir / bus name / topic, joined component-wise (a topic name
// that begins with "/" replaces the prefix; an empty one is the bus directory itself).
//
// Thread rules: no lock of its own. Operations that change `publishers_` (publish,
// publish_many, wait_for_subscribers, take_publisher, clean_topic) must not overlap any other
// operation on the same Bus; the const ones may overlap each other. The owner enforces this.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "config.h"
#include "error.h"
#include "publisher.h"
#include "subscriber.h"

namespace kavri {

class Bus {
 public:
  // Touches nothing on disk.
  static Bus with_config(std::string name, BusConfig config);

  // A copy of the configuration whose base_dir is the bus directory.
  BusConfig topic_config() const;

  // Lookup-or-create, then the publisher's operation.
  Result<void> publish(std::string_view topic, std::span<const std::byte> data);
  Result<uint64_t> publish_many(std::string_view topic,
                                std::span<const std::span<const std::byte>> payloads);
  Result<void> wait_for_subscribers(std::string_view topic, uint64_t n, Duration timeout);

  // The cached publisher, or a new one that is not cached; the caller owns it (and with it the
  // topic's producer lock).
  Result<std::unique_ptr<Publisher>> take_publisher(std::string_view topic);

  // Lookup only: nothing is created, on disk or here.
  std::optional<TopicStats> stats(std::string_view topic) const;
  // (cursor-table index, lag) of every claimed entry whose lag is at least `threshold`, in
  // table order; empty without a publisher here.
  std::vector<std::pair<uint64_t, uint64_t>> slow_subscribers(std::string_view topic,
                                                              uint64_t threshold) const;

  // Subscribers connect through the topic directory, whoever publishes the topic.
  Result<std::unique_ptr<Subscriber>> subscribe_timeout(std::string_view topic,
                                                        Duration timeout) const;
  Result<std::unique_ptr<Subscriber>> subscribe_with_history_timeout(std::string_view topic,
                                                                     uint64_t n_messages_back,
                                                                     Duration timeout) const;
  Result<std::unique_ptr<Subscriber>> subscribe_from_timeout(std::string_view topic,
                                                             uint64_t cursor,
                                                             Duration timeout) const;

  // Drops this bus's publisher of the topic, then removes the topic's files under the producer
  // lock. Fails with AlreadyPublishing while any other publisher holds the topic.
  Result<void> clean_topic(std::string_view topic);

  const std::string& name() const { return name_; }

 private:
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  using PublisherMap =
      std::unordered_map<std::string, std::unique_ptr<Publisher>, NameHash, std::equal_to<>>;

  Bus(std::string name, BusConfig config) : name_(std::move(name)), config_(std::move(config)) {}

  std::filesystem::path bus_dir() const;
  Result<Publisher*> create_publisher(std::string_view topic);
  Result<Publisher*> lookup_or_create(std::string_view topic);
  Result<std::unique_ptr<Subscriber>> subscribe(std::string_view topic, Duration timeout,
                                                StartAt start) const;

  std::string name_;
  BusConfig config_;  // base_dir is the root of all buses
  PublisherMap publishers_;
};

}  // namespace kavri
